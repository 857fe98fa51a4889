#include "liveview/live_view.h"

platform::BitmapInfo displayBitmapInfo;
platform::RgbQuad* const displayPalette = displayBitmapInfo.bmiColors;
uint8_t displayLut[256];

void BuildDisplayTables() {
  platform::BitmapInfoHeader& header = displayBitmapInfo.bmiHeader;
  header = {};
  header.biSize = sizeof(platform::BitmapInfoHeader);
  header.biPlanes = 1;
  header.biBitCount = 8;
  header.biCompression = 0;  // uncompressed
  header.biClrUsed = 256;

  for (int i = 0; i < 256; ++i) {
    // The 238 shown greys spread over 3..240; only full scale reaches 240, the red entry.
    displayLut[i] = static_cast<uint8_t>(static_cast<int>(i * 237.0 / 255.0 + 3.0));
    uint8_t grey = static_cast<uint8_t>(i);
    displayPalette[i] = {grey, grey, grey, 0};
    if (i == 240) displayPalette[i].rgbBlue = displayPalette[i].rgbGreen = 0;
  }
}
