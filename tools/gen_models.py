#!/usr/bin/python3
"""Writes the example model resource directories under models/, and models/red.png.

Every network is an ONNX graph with weights chosen by hand (no training, no
downloads), small enough to run on the CPU runtime in milliseconds. Run with
Debian's python3 (packages python3-onnx, python3-numpy):

    /usr/bin/python3 tools/gen_models.py --encipher build/release/tools/encipher/norvane_encipher_model

The path of the encipher tool may also come from NORVANE_ENCIPHER_MODEL. The
output is committed; re-running writes identical bytes. The enciphered copies
use a random nonce, so they are rewritten only when the plain classifier
changed or they are missing.
"""

import argparse
import json
import os
import struct
import subprocess
import sys
import zlib

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODELS = os.path.join(ROOT, "models")

OPSET = 11      # the OpenCV 4.6 importer's home ground
IR_VERSION = 6

CLASSIFIER_SIZE = 64
DETECTOR_SIZE = 96
# The segmenter is built for one camera size, as instance-mask models on a device
# are: no size input reaches them, so their boxes are in pixels of that picture.
SEGMENTER_WIDTH = 800
SEGMENTER_HEIGHT = 600
MASK_SIZE = 64  # mask planes, cells per side

# Colour maps: sigmoid(GAIN * (own channel - mean of the other two) + BIAS).
# A pure colour gives sigmoid(24), exactly 1.0 in float32, so box edges found
# through it are whole pixels; gray gives sigmoid(-16) ~ 1e-7.
COLOR_GAIN = 40.0
COLOR_BIAS = -16.0
# Plane value = MASK_GAIN * sampled map - (MASK_GAIN - 1) / 2: keeps the 0.5 cut
# where it was, but lets an object cell win the bilinear blend against the zero
# border that the decoder adds around each plane, so box edges are not eaten.
MASK_GAIN = 8.0
# Detector boxes end at first column + 0.25 and last column + 1.5 pixels: float
# rounding cannot then pull left = int(x1 * width) or int((x2 - x1) * width)
# under the whole pixel.
BOX_NUDGE_LOW = 0.25
BOX_NUDGE_HIGH = 0.5
# Segmenter box corners in pixels: x1 = first column + 0.25, x2 = last column + 0.75, so
# that the decoder's whole-pixel truncation gives back the first column and a
# width of last - first + 1.
EDGE_LOW = 0.25
EDGE_HIGH = 0.75


def f32(a):
    return np.asarray(a, dtype=np.float32)


def i64(a):
    return np.asarray(a, dtype=np.int64)


class Graph:
    """Collects nodes and initializers; names are generated in order, so the
    serialised bytes depend only on the construction sequence."""

    def __init__(self):
        self.nodes = []
        self.inits = []
        self.count = 0

    def const(self, name, value):
        self.inits.append(numpy_helper.from_array(value, name))
        return name

    def op(self, op_type, inputs, out=None, **attrs):
        self.count += 1
        out = out or "%s_%d" % (op_type.lower(), self.count)
        self.nodes.append(helper.make_node(op_type, inputs, [out], **attrs))
        return out

    def model(self, name, inputs, outputs):
        graph = helper.make_graph(
            self.nodes, name,
            [helper.make_tensor_value_info(n, TensorProto.FLOAT, s) for n, s in inputs],
            [helper.make_tensor_value_info(n, TensorProto.FLOAT, s) for n, s in outputs],
            self.inits)
        model = helper.make_model(graph, producer_name="norvane-gen-models",
                                  opset_imports=[helper.make_opsetid("", OPSET)])
        model.ir_version = IR_VERSION
        onnx.checker.check_model(model)
        return model.SerializeToString()


def color_conv(g, image, rows, name):
    """1x1 convolution + sigmoid: one colour map per row of `rows`, each row the
    3 channel weights before the gain."""
    w = f32(rows).reshape(len(rows), 3, 1, 1) * COLOR_GAIN
    b = f32([COLOR_BIAS] * len(rows))
    conv = g.op("Conv", [image, g.const(name + "_w", w), g.const(name + "_b", b)], kernel_shape=[1, 1])
    return g.op("Sigmoid", [conv], out=name)


def box_features(g, maps, channels, width, height, low_grid, high_grid):
    """Per class, max over the image of map x grid: gives first and last
    occupied column and row through the grids. Works on the column and row
    profiles (max over rows / columns) so the grids stay one-dimensional.
    low_grid(j, size) and high_grid(j, size) give the grid along an axis of
    `size` pixels. Result {1, 4*channels + channels}: [low x, high x, low y,
    high y, score]."""
    cols = g.op("ReduceMax", [maps], axes=[2], keepdims=1)  # {1, C, 1, W}
    rows = g.op("ReduceMax", [maps], axes=[3], keepdims=1)  # {1, C, H, 1}

    def grid(size):
        j = np.arange(size, dtype=np.float32)
        return np.concatenate([np.tile(low_grid(j, size), (channels, 1)),
                               np.tile(high_grid(j, size), (channels, 1))])
    gx = grid(width).reshape(1, 2 * channels, 1, width)
    gy = grid(height).reshape(1, 2 * channels, height, 1)
    fx = g.op("Mul", [g.op("Concat", [cols, cols], axis=1), g.const("grid_x", gx)])
    fy = g.op("Mul", [g.op("Concat", [rows, rows], axis=1), g.const("grid_y", gy)])
    fx = g.op("ReduceMax", [fx], axes=[2, 3], keepdims=0)
    fy = g.op("ReduceMax", [fy], axes=[2, 3], keepdims=0)
    score = g.op("ReduceMax", [cols], axes=[2, 3], keepdims=0)
    return g.op("Concat", [fx, fy, score], axis=1)


# ---------------------------------------------------------------- classifier

def color_classifier():
    """Mean colour of the picture -> softmax over red, green, blue. Inputs are
    RGB scaled to [-1, 1]: a pure colour has +1 in its channel and -1 in the
    others, so logits 4 * mean give p >= 0.999."""
    g = Graph()
    pooled = g.op("GlobalAveragePool", ["image"])
    flat = g.op("Flatten", [pooled], axis=1)
    logits = g.op("Gemm", [flat, g.const("fc_w", f32(np.eye(3) * 4.0)), g.const("fc_b", f32([0, 0, 0]))], transB=1)
    g.op("Softmax", [logits], out="prob", axis=1)
    return g.model("color_classifier", [("image", [1, 3, CLASSIFIER_SIZE, CLASSIFIER_SIZE])], [("prob", [1, 3])])


# ------------------------------------------------------------------ detector

def red_detector(size_input):
    """Red-ness map of a BGR picture in [0, 1]; one row [0, score, x1, y1, x2,
    y2] with the box of all red pixels as fractions of the picture. With
    `size_input` the second input {1, 2} = (width, height) scales the box to
    input pixels."""
    n = DETECTOR_SIZE
    g = Graph()
    red = color_conv(g, "image", [[-0.5, -0.5, 1.0]], "red")  # B, G, R
    # low grid 1 - j/n -> max = 1 - first/n; high grid (j + 1)/n -> max = (last + 1)/n
    feats = box_features(g, red, 1, n, n, lambda j, size: 1.0 - j / size, lambda j, size: (j + 1.0) / size)
    # feats = [1 - first/n, (last+1)/n, same for y, score] -> [class 0, score, x1, y1, x2, y2],
    # nudged inwards and outwards so whole-pixel truncation gives left and width back
    w = f32([[0, 0, 0, 0, 0], [0, 0, 0, 0, 1], [-1, 0, 0, 0, 0], [0, 0, -1, 0, 0], [0, 1, 0, 0, 0], [0, 0, 0, 1, 0]])
    low, high = BOX_NUDGE_LOW / n, BOX_NUDGE_HIGH / n
    b = f32([0, 0, 1 + low, 1 + low, high, high])
    inputs = [("image", [1, 3, n, n])]
    if not size_input:
        g.op("Gemm", [feats, g.const("row_w", w), g.const("row_b", b)], out="boxes", transB=1)
    else:
        frac = g.op("Gemm", [feats, g.const("row_w", w), g.const("row_b", b)], transB=1)
        # factors [1, 1, width, height, width, height] from the second input
        fw = f32([[0, 0], [0, 0], [1, 0], [0, 1], [1, 0], [0, 1]])
        factors = g.op("Gemm", ["im_size", g.const("size_w", fw), g.const("size_b", f32([1, 1, 0, 0, 0, 0]))],
                       transB=1)
        g.op("Mul", [frac, factors], out="boxes")
        inputs.append(("im_size", [1, 2]))
    return g.model("red_detector", inputs, [("boxes", [1, 6])])


# ----------------------------------------------------------- instance masks

def tents(g, rows, first_col, size, cells, name):
    """Bilinear sampling weights {2, cells, size} of each box row along one axis.

    The decoder pads a plane with one zero cell and resizes it (bilinear,
    half-pixel centres) to the box's `span` pixels, so plane cell i lands on box
    pixel (i + 1.5) * span / (cells + 2) - 0.5. Cell i samples the colour map
    there: weight relu(1 - |p - p_i|) for every pixel p of the axis."""
    c = (np.arange(cells, dtype=np.float32) + 1.5) / (cells + 2)
    # p_i = first + c_i * span - 0.5, first = lo - EDGE_LOW, span = hi - lo + 1 - EDGE_HIGH + EDGE_LOW
    w = np.zeros((2 * cells, 6), np.float32)
    b = np.zeros(2 * cells, np.float32)
    w[0::2, first_col] = 1.0 - c
    w[0::2, first_col + 2] = c
    b[0::2] = -EDGE_LOW * (1.0 - c) + c * (1.0 - EDGE_HIGH) - 0.5
    b[1::2] = 1.0  # pairs (p_i, 1)
    pairs = g.op("Gemm", [rows, g.const(name + "_w", w), g.const(name + "_b", b)], transB=1)
    pairs = g.op("Reshape", [pairs, g.const(name + "_shape", i64([2, cells, 2]))])
    # (p_i, 1) x [[-1 ...], [0, 1, ...]] = p - p_i
    k = f32([np.full(size, -1.0), np.arange(size)])
    dist = g.op("Abs", [g.op("MatMul", [pairs, g.const(name + "_k", k)])])
    one_minus = g.op("Add", [g.op("Mul", [dist, g.const(name + "_neg", f32(-1.0))]), g.const(name + "_one", f32(1.0))])
    return g.op("Relu", [one_minus])


def instance_segmenter():
    """Red (class 0) and green (class 1) objects of an RGB picture in [0, 1],
    SEGMENTER_WIDTH x SEGMENTER_HEIGHT.
    boxes {2, 6}: row c = [c, score, x1, y1, x2, y2] in input pixels.
    masks {2, 2, MASK_SIZE, MASK_SIZE}: both rows carry the planes of both
    classes; plane c is class c's colour map sampled inside row c's box."""
    wd, ht, m = SEGMENTER_WIDTH, SEGMENTER_HEIGHT, MASK_SIZE
    g = Graph()
    maps = color_conv(g, "image", [[1.0, -0.5, -0.5], [-0.5, 1.0, -0.5]], "maps")  # R, G, B
    # low grid size - j -> max = size - first; high grid j -> max = last
    feats = box_features(g, maps, 2, wd, ht, lambda j, size: size - j, lambda j, size: j)
    # feats = [W-x1_r, W-x1_g, x2_r, x2_g, H-y1_r, H-y1_g, y2_r, y2_g, s_r, s_g]
    w = np.zeros((12, 10), np.float32)
    b = np.zeros(12, np.float32)
    for c in range(2):
        r = 6 * c
        b[r] = c
        w[r + 1, 8 + c] = 1
        w[r + 2, c], b[r + 2] = -1, wd + EDGE_LOW
        w[r + 3, 4 + c], b[r + 3] = -1, ht + EDGE_LOW
        w[r + 4, 2 + c], b[r + 4] = 1, EDGE_HIGH
        w[r + 5, 6 + c], b[r + 5] = 1, EDGE_HIGH
    flat = g.op("Gemm", [feats, g.const("row_w", w), g.const("row_b", b)], transB=1)
    boxes = g.op("Reshape", [flat, g.const("row_shape", i64([2, 6]))], out="boxes")

    wy = tents(g, boxes, 3, ht, m, "tent_y")                               # {2, m, H}
    wx = g.op("Transpose", [tents(g, boxes, 2, wd, m, "tent_x")], perm=[0, 2, 1])  # {2, W, m}
    planes = g.op("Reshape", [maps, g.const("plane_shape", i64([2, ht, wd]))])
    sampled = g.op("MatMul", [g.op("MatMul", [wy, planes]), wx])           # {2, m, m}
    # Reshaped before the gain: OpenCV 4.6 fuses a scale-and-shift that directly
    # follows a two-input MatMul and then loses the scale.
    one_row = g.op("Reshape", [sampled, g.const("mask_shape", i64([1, 2, m, m]))])
    scaled = g.op("Add", [g.op("Mul", [one_row, g.const("mask_gain", f32(MASK_GAIN))]),
                          g.const("mask_bias", f32(-(MASK_GAIN - 1.0) / 2.0))])
    g.op("Concat", [scaled, scaled], out="masks", axis=0)
    return g.model("instance_segmenter", [("image", [1, 3, ht, wd])],
                   [("boxes", [2, 6]), ("masks", [2, 2, m, m])])


# ------------------------------------------------------------------- writing

def write(path, data):
    mode = "wb" if isinstance(data, bytes) else "w"
    with open(path, mode) as f:
        f.write(data)


def write_json(path, obj):
    write(path, json.dumps(obj, indent=2) + "\n")


def write_dir(name, conf, preprocess, labels, model, postprocess=None):
    d = os.path.join(MODELS, name)
    os.makedirs(d, exist_ok=True)
    write_json(os.path.join(d, "conf.json"), conf)
    write_json(os.path.join(d, "preprocess_args.json"), preprocess)
    if postprocess is not None:
        write_json(os.path.join(d, "postprocess_args.json"), postprocess)
    write(os.path.join(d, "label_list.txt"), "".join(line + "\n" for line in labels))
    if model is not None:
        write(os.path.join(d, "model"), model)
    write(os.path.join(d, "params"), b"")  # ONNX carries its weights
    return d


def solid_png(width, height, rgb):
    """An 8-bit RGB PNG of one colour, for trying the served models by hand."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    row = b"\0" + bytes(rgb) * width  # each row starts with its filter type, 0 = none
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)  # 8 bits, RGB
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(row * height, 9))
            + chunk(b"IEND", b""))


def conf(kind, model_id, name, threshold, enc=0, n_type=0):
    return {"modelType": kind, "modelId": model_id, "modelName": name, "releaseId": model_id * 10,
            "bizModelId": model_id * 100, "modelEnc": enc, "nType": n_type, "thresholdRec": threshold}


def preprocess(size, mean, scale, color, height=None):
    return {"img_mean": mean, "scale": scale, "resize": [size, height or size], "colorFormat": color}


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--encipher", default=os.environ.get("NORVANE_ENCIPHER_MODEL"),
                        help="path of norvane_encipher_model (or env NORVANE_ENCIPHER_MODEL)")
    args = parser.parse_args()

    classifier = color_classifier()
    previous_classifier = read(os.path.join(MODELS, "color_classifier", "model"))
    cls_pre = preprocess(CLASSIFIER_SIZE, [127.5] * 3, [1 / 127.5] * 3, "RGB")
    cls_labels = ["red", "green", "blue"]
    write_dir("color_classifier", conf(1, 1001, "color_classifier", 0.5), cls_pre, cls_labels, classifier)

    det_pre = preprocess(DETECTOR_SIZE, [0.0] * 3, [1 / 255.0] * 3, "BGR")
    write_dir("red_detector", conf(2, 2001, "red_detector", 0.5), det_pre, ["0:red"],
              red_detector(False), {"is_normed": 1})
    write_dir("red_detector_101", conf(2, 2002, "red_detector_101", 0.5, n_type=101), det_pre, ["0:red"],
              red_detector(True), {"is_normed": 0})

    seg_pre = preprocess(SEGMENTER_WIDTH, [0.0] * 3, [1 / 255.0] * 3, "RGB", SEGMENTER_HEIGHT)
    write_dir("instance_segmenter", conf(6, 6001, "instance_segmenter", 0.5), seg_pre, ["0:red", "1:green"],
              instance_segmenter(), {"is_normed": 0})

    # The README's example request. At the segmenter's 800 x 600 every example model
    # serves it as it should: red, a box over the whole picture, a mask over nearly all.
    write(os.path.join(MODELS, "red.png"), solid_png(SEGMENTER_WIDTH, SEGMENTER_HEIGHT, (255, 0, 0)))

    for enc in (1, 2):
        name = "color_classifier_enc%d" % enc
        d = write_dir(name, conf(1, 1001 + enc, name, 0.5, enc=enc), cls_pre, cls_labels, None)
        target = os.path.join(d, "model")
        if previous_classifier == classifier and os.path.exists(target):
            continue  # enciphering again would only change the nonce
        if not args.encipher or not os.access(args.encipher, os.X_OK):
            sys.exit("gen_models: %s needs norvane_encipher_model: pass --encipher PATH or set "
                     "NORVANE_ENCIPHER_MODEL (build target norvane_encipher_model)" % name)
        plain = target + ".plain"
        write(plain, classifier)
        try:
            subprocess.run([args.encipher, str(enc), plain, target], check=True)
        finally:
            os.remove(plain)


if __name__ == "__main__":
    main()
