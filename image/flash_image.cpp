#include "image/flash_image.h"

uint8_t FlashImage[flashImageCapacity];

void PatchResetVector(uint8_t* image) {
    // GOTO 0x7F40 (word address 0x3FA0) as the little-endian words 0xEFA0, 0xF03F.
    image[0] = 0xA0;
    image[1] = 0xEF;
    image[2] = 0x3F;
    image[3] = 0xF0;
}
