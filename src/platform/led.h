// LED library.
#pragma once

#include <cstdint>

// Emits arvex.led LedFeatureEnable (s sender, u enable); 0 when sent, -1 otherwise.
int sendLedFeatureEnableSignal(const char *sender, uint32_t enable);
