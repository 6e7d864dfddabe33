// Random bytes from the system's cryptographic generator, for what a server on
// the network must not be able to predict.
#pragma once

#include <stdint.h>

// Fills size bytes; false when the generator refused.
bool DrawSystemRandom(void* bytes, uint32_t size);
