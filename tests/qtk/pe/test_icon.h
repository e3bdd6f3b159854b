// A small Windows icon file made in memory: 16x16 and 32x32 images, 32 bits
// per pixel, laid out as icon editors write them.
#pragma once

#include <cstdint>
#include <vector>

inline std::vector<std::uint8_t> test_icon() {
  auto put = [](std::vector<std::uint8_t>& b, std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  std::vector<std::vector<std::uint8_t>> images;
  for (std::uint32_t w : {16u, 32u}) {
    std::vector<std::uint8_t> im;
    put(im, 40, 4);  // BITMAPINFOHEADER: size, width, twice the height (colour and mask)
    put(im, w, 4);
    put(im, 2 * w, 4);
    put(im, 1, 2);   // planes
    put(im, 32, 2);  // bits per pixel
    for (int i = 0; i < 6; ++i) put(im, 0, 4);
    for (std::uint32_t p = 0; p < w * w; ++p) put(im, 0xFF000000u | (p * 2654435761u >> 8), 4);
    im.resize(im.size() + (w + 31) / 32 * 4 * w, 0);  // the AND mask
    images.push_back(im);
  }
  std::vector<std::uint8_t> ico;
  put(ico, 0, 2);
  put(ico, 1, 2);
  put(ico, static_cast<std::uint32_t>(images.size()), 2);
  std::uint32_t at = static_cast<std::uint32_t>(6 + 16 * images.size());
  for (const auto& im : images) {
    const std::uint32_t w = im[4];
    ico.push_back(static_cast<std::uint8_t>(w));
    ico.push_back(static_cast<std::uint8_t>(w));
    put(ico, 0, 2);  // colours, reserved
    put(ico, 1, 2);
    put(ico, 32, 2);
    put(ico, static_cast<std::uint32_t>(im.size()), 4);
    put(ico, at, 4);
    at += static_cast<std::uint32_t>(im.size());
  }
  for (const auto& im : images) ico.insert(ico.end(), im.begin(), im.end());
  return ico;
}
