#pragma once

#include <string>

namespace norvane {

// The demo page served at GET "/", compiled into the library from net/demo/index.html.
extern const std::string g_res_demo;

}  // namespace norvane
