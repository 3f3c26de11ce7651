#pragma once

// Every failure the library reports is one of these codes; 0 is success.
namespace norvane {

constexpr int NV_OK = 0;
constexpr int NV_ERR_EMPTY_IMAGE = -1;            // infer on an image without data
constexpr int NV_ERR_RUNTIME = 1000000;           // runtime predictor missing or raw output malformed
constexpr int NV_ERR_OPEN_DEVICE = 1000002;       // the FPGA device could not be opened
constexpr int NV_ERR_MODEL_CONFIG = 1000004;      // model description or a parameter file faulty
constexpr int NV_ERR_DECRYPT = 1000005;           // model decryption failed or type unsupported
constexpr int NV_ERR_NOT_SUPPORTED = 2000001;     // operation no engine supports
constexpr int NV_ERR_HTTP = 500001;               // an outbound HTTP exchange failed
constexpr int NV_ERR_BAD_REQUEST = 8000001;       // bad request input: threshold or image
constexpr int NV_ERR_SERVICE = 8000002;           // service set-up or start failure
constexpr int NV_ERR_ENV = 8000003;               // bad environment value in the serving program

// Resource store (ResourceManager).
constexpr int NV_STORE_ERR_CIPHER = -1;           // missing file or cipher failure
constexpr int NV_STORE_ERR_WRITE = -2;            // enciphered file could not be written
constexpr int NV_STORE_ERR_TEMP_WRITE = -11;      // plain temporary file could not be written

}  // namespace norvane
