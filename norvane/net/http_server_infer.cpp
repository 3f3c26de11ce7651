// POST "/": decode the posted image, run one instance, reply with its results.

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

#include <opencv2/imgcodecs.hpp>

#include "norvane/error_codes.h"
#include "norvane/log.h"
#include "norvane/net/http_server.h"
#include "norvane/net/http_server_image.h"
#include "norvane/utils.h"

namespace norvane {

void HttpServer::handle_infer(const httplib::Request& req, const std::string& body, httplib::Response& res) {
  // Inferences never overlap on any instance; the guard also releases the lock
  // when an exception leaves the work below.
  std::lock_guard<std::mutex> lock(_infer_mutex);
  std::string failure;
  try {
    infer_locked(req, body, res);
    return;
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown exception";
  }
  // An engine or the JSON library threw (an image-library error in preprocessing,
  // a probability that is not a number): answer like a failed inference, with
  // the reason, and keep serving.
  NV_LOG(ERROR) << "Infer failed: " << failure;
  res.headers.clear();
  write_response(res, NV_ERR_RUNTIME, "Infer failed: " + failure);
}

void HttpServer::infer_locked(const httplib::Request& req, const std::string& body, httplib::Response& res) {
  // Negative (or absent) means the model's own recommended threshold. std::stof
  // reads the longest leading number, so "0.5abc" is 0.5 and "nan" is NaN.
  float threshold = -1.0f;
  if (req.has_param("threshold")) {
    const std::string raw = req.get_param_value("threshold");
    try {
      threshold = std::stof(raw);
    } catch (const std::exception&) {
      const std::string message = "Illegal parameter 'threshold': " + raw;
      NV_LOG(WARNING) << detail::escape_controls(message);
      write_response(res, NV_ERR_BAD_REQUEST, message);
      return;
    }
  }

  // The size a picture declares is checked before a pixel buffer exists: a few
  // KB of header can claim gigabytes of pixels, or of the decoder's tiles.
  // Bodies that no decoder takes go on, to be found no image.
  const auto* bytes = reinterpret_cast<const unsigned char*>(body.data());
  const std::string refusal =
      detail::picture_refusal(detail::read_picture_header(bytes, body.size()), _max_image_pixels);
  if (!refusal.empty()) {
    const std::string message = "Failed to decode image: " + refusal;
    NV_LOG(WARNING) << message;
    write_response(res, NV_ERR_BAD_REQUEST, message);
    return;
  }

  cv::Mat image;
  try {
    // Decoded from the body as received; the header wraps its bytes, no copy.
    const cv::Mat encoded = body.empty() ? cv::Mat()
                                         : cv::Mat(1, static_cast<int>(body.size()), CV_8UC1,
                                                   const_cast<unsigned char*>(bytes));
    image = cv::imdecode(encoded, cv::IMREAD_COLOR);
    NV_LOG(DEBUG) << "Input image size: " << image.cols << ", " << image.rows;
    if (image.cols == 0) throw std::invalid_argument("Empty image");
  } catch (const std::exception& e) {
    write_response(res, NV_ERR_BAD_REQUEST, std::string("Failed to decode image: ") + e.what());
    return;
  }

  if (_predictors.empty()) {
    write_response(res, NV_ERR_SERVICE, "Empty instance list");
    return;
  }

  std::string text;
  const int64_t t0 = utils::get_timestamp_ms();
  const unsigned long index = utils::rand<unsigned long>(0, _predictors.size() - 1);
  EdgePredictor* predictor = _predictors[index].get();
  NV_VLOG(1) << "using predictor " << reinterpret_cast<intptr_t>(predictor);
  // Strictly below zero: a NaN threshold goes to the model as it is.
  const int code = threshold < 0 ? predictor->infer(image, text) : predictor->infer(image, text, threshold);
  const int64_t t1 = utils::get_timestamp_ms();
  if (code != NV_OK) {
    write_response(res, code, "Infer failed");
    return;
  }

  // The text is the core's own serialisation; a parse error would leave the value
  // as far as it was built, which is what is sent.
  picojson::value results;
  picojson::parse(results, text);
  write_response(res, results, static_cast<long>(t1 - t0));
}

}  // namespace norvane
