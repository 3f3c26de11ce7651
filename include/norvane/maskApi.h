#pragma once

// Run-length codec for binary masks with the semantics of the COCO mask API.
// Pixels are column-major; runs alternate 0/1 starting with a (possibly empty) run of 0.

#include <stdint.h>

#include "norvane/export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned int uint;
typedef unsigned long siz;
typedef unsigned char byte;
typedef double* BB;

typedef struct {
  siz h, w, m;
  uint* cnts;
} RLE;

NORVANE_API void rleInit(RLE* R, siz h, siz w, siz m, uint* cnts);
NORVANE_API void rleFree(RLE* R);
NORVANE_API void rlesInit(RLE** R, siz n);
NORVANE_API void rlesFree(RLE** R, siz n);
NORVANE_API void rleEncode(RLE* R, const byte* M, siz h, siz w, siz n);
NORVANE_API void rleDecode(const RLE* R, byte* M, siz n);
NORVANE_API void rleMerge(const RLE* R, RLE* M, siz n, int intersect);
NORVANE_API void rleArea(const RLE* R, siz n, uint* a);
NORVANE_API void rleIou(RLE* dt, RLE* gt, siz m, siz n, byte* iscrowd, double* o);
NORVANE_API void rleNms(RLE* dt, siz n, uint* keep, double thr);
NORVANE_API void bbIou(BB dt, BB gt, siz m, siz n, byte* iscrowd, double* o);
NORVANE_API void bbNms(BB dt, siz n, uint* keep, double thr);
NORVANE_API void rleToBbox(const RLE* R, BB bb, siz n);
NORVANE_API void rleFrBbox(RLE* R, const BB bb, siz h, siz w, siz n);
NORVANE_API void rleFrPoly(RLE* R, const double* xy, siz k, siz h, siz w);
// A new string owned by the caller, released with free().
NORVANE_API char* rleToString(const RLE* R);
NORVANE_API void rleFrString(RLE* R, char* s, siz h, siz w);
NORVANE_API int uintCompare(const void* a, const void* b);
NORVANE_API uint umin(uint a, uint b);
NORVANE_API uint umax(uint a, uint b);

#ifdef __cplusplus
}
#endif
