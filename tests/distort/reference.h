// Plain reference forms of the distortions (see reference.cpp).
#pragma once

#include <cstdint>

namespace distortref {

void sineDistort(int32_t src, int32_t dst, float hFreq, float hAmp, float vFreq, float vAmp);
void mapDistort(int32_t src, int32_t map, int32_t dst, float scaleX, float scaleY);
void tileLayer(int32_t src, int32_t dst);
void noiseDistort(int32_t src, int32_t dst, int32_t seed, int32_t strength);
void moveDistort(int32_t src, int32_t dst, int32_t dx, int32_t dy);
void twirlLayer(int32_t src, int32_t dst, float strength, float scale);
void tunnelDistort(int32_t src, int32_t dst, float depth);
void logPolLayer(int32_t src, int32_t dst);
void sculptureLayer(int32_t src, int32_t dst);
void erodeLayer(int32_t src, int32_t dst);
void dilateLayer(int32_t src, int32_t dst);

}  // namespace distortref
