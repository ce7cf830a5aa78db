#pragma once
// One OpenGL rectangle texture (texel coordinates, no mipmaps), sized once
// and re-uploaded per frame. Needs the owning window's context current for
// every operation, its destruction included; id 0 owns nothing.
#include "la/Types.h"

class GLTexture {
 public:
  GLTexture() = default;
  GLTexture(const GLTexture&) = delete;
  GLTexture& operator=(const GLTexture&) = delete;
  // Unbinds when bound and deletes the texture.
  ~GLTexture();

  // Generates the texture: clamped, nearest filtering, replace mode.
  void Create();
  // Binds it unless it is already the bound rectangle texture.
  void Bind() const;
  // Allocates width x height luminance storage (nothing when the size is
  // unchanged).
  void Resize(const u16& width, const u16& height);
  // The same for RGB storage.
  void ResizeRgb(const u16& width, const u16& height);
  // Uploads width x height bytes (rows packed, any width); the caller binds.
  void UploadLuminanceBytes(const u8* pixels);
  // Uploads width x height RGB byte triples; the caller binds.
  void UploadRgbBytes(const u8* pixels);
  // Uploads width x height floats as luminance; the caller binds.
  void UploadLuminanceFloats(const float* pixels);

  u32 id = 0;
  u16 width = 0;
  u16 height = 0;
  u32 pixelCount = 0;
  u32 valueCount = 0;

 private:
  void Allocate(const u16& w, const u16& h, int channels);
};
