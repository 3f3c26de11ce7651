#pragma once

#include <string>

// The library's 16-byte keys, assembled at run time so that none stands in the
// binary as a readable literal. Each result is 16 bytes; c_str() adds the NUL the
// cipher calls expect.
namespace norvane {
namespace keys {

std::string model_key(long enc_type);  // types 1 and 2; empty for any other type
std::string resource_key();
std::string upload_key();

}  // namespace keys
}  // namespace norvane
