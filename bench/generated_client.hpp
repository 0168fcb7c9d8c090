#pragma once

#include <cstdint>

// Sets the size of the body every request of the generated client answers with.
void generated_body_size(uint64_t bytes);
