// The fuzzer input as a NUL-terminated text in a heap block of exactly its
// size, so that AddressSanitizer catches a read one byte past the NUL.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

class FuzzText {
  public:
    FuzzText(const uint8_t *data, size_t size) : text_(new char[size + 1]) {
        memcpy(text_.get(), data, size);
        text_[size] = '\0';
    }
    char *get() { return text_.get(); }

  private:
    std::unique_ptr<char[]> text_;
};

// Stops the run with a message when a property fails: libFuzzer saves the
// input that made it fail.
#define FUZZ_CHECK(condition)                                                             \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            abort();                                                                      \
        }                                                                                 \
    } while (0)
