#pragma once

// The library is built with hidden visibility; only what carries this mark is
// part of its binary interface.
#define NORVANE_API __attribute__((visibility("default")))
