#include "viewer/GLTexture.h"

#include <GL/glew.h>

void GLTexture::Create() {
  GLuint name = 0;
  glGenTextures(1, &name);
  id = name;
  glBindTexture(GL_TEXTURE_RECTANGLE, id);
  glTexParameteri(GL_TEXTURE_RECTANGLE, GL_TEXTURE_WRAP_S, GL_CLAMP);
  glTexParameteri(GL_TEXTURE_RECTANGLE, GL_TEXTURE_WRAP_T, GL_CLAMP);
  glTexParameteri(GL_TEXTURE_RECTANGLE, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_RECTANGLE, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
}

void GLTexture::Bind() const {
  GLint bound = 0;
  glGetIntegerv(GL_TEXTURE_BINDING_RECTANGLE, &bound);
  if (static_cast<u32>(bound) != id) glBindTexture(GL_TEXTURE_RECTANGLE, id);
}

void GLTexture::Allocate(const u16& w, const u16& h, int channels) {
  width = w;
  height = h;
  pixelCount = static_cast<u32>(w) * h;
  valueCount = pixelCount * static_cast<u32>(channels);
  Bind();
  const GLenum format = channels == 3 ? GL_RGB : GL_LUMINANCE;
  glTexImage2D(GL_TEXTURE_RECTANGLE, 0, format, w, h, 0, format, GL_FLOAT, nullptr);
}

void GLTexture::Resize(const u16& w, const u16& h) {
  if (w == width && h == height && valueCount == pixelCount) return;
  Allocate(w, h, 1);
}

void GLTexture::ResizeRgb(const u16& w, const u16& h) {
  if (w == width && h == height && valueCount == 3 * pixelCount && pixelCount != 0) return;
  Allocate(w, h, 3);
}

void GLTexture::UploadLuminanceBytes(const u8* pixels) {
  // Rows of any width are packed: GL's default 4-byte row alignment would
  // read past the end of rows whose width is not a multiple of 4.
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  // Into the storage Resize made: the texture is not re-specified per frame.
  glTexSubImage2D(GL_TEXTURE_RECTANGLE, 0, 0, 0, width, height, GL_LUMINANCE, GL_UNSIGNED_BYTE,
                  pixels);
}

void GLTexture::UploadRgbBytes(const u8* pixels) {
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glTexSubImage2D(GL_TEXTURE_RECTANGLE, 0, 0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels);
}

void GLTexture::UploadLuminanceFloats(const float* pixels) {
  glTexSubImage2D(GL_TEXTURE_RECTANGLE, 0, 0, 0, width, height, GL_LUMINANCE, GL_FLOAT, pixels);
}

GLTexture::~GLTexture() {
  if (id == 0) return;
  GLint bound = 0;
  glGetIntegerv(GL_TEXTURE_BINDING_RECTANGLE, &bound);
  if (static_cast<u32>(bound) == id) glBindTexture(GL_TEXTURE_RECTANGLE, 0);
  const GLuint name = id;
  glDeleteTextures(1, &name);
  id = 0;
}
