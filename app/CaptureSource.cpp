#include "app/CaptureSource.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

int Ioctl(int fd, unsigned long request, void* arg) {
  int result;
  do {
    result = ioctl(fd, request, arg);
  } while (result == -1 && errno == EINTR);
  return result;
}

// The video capture interface of the kernel with memory-mapped streaming.
class V4L2CaptureSource final : public CaptureSource {
 public:
  explicit V4L2CaptureSource(std::string device) : device_(std::move(device)) {}
  ~V4L2CaptureSource() override {
    Stop();
    Close();
  }

  bool Open(int fps, u16* width, u16* height) override {
    if (fps <= 0) fps = 30;
    for (int i = 0; i < 64; ++i) {
      const std::string name = device_.empty() ? "/dev/video" + std::to_string(i) : device_;
      if (TryDevice(name, fps)) {
        if (!MapBuffers()) {
          std::printf("Cannot initialize!\n");
          Close();
          return false;
        }
        *width = static_cast<u16>(width_);
        *height = static_cast<u16>(height_);
        return true;
      }
      Close();
      if (!device_.empty()) break;
    }
    std::printf("No camera!\n");
    return false;
  }

  bool Start(FrameCallback onFrame) override {
    if (fd_ < 0 || thread_.joinable()) return false;
    for (u32 i = 0; i < buffers_.size(); ++i) {
      if (!Queue(i)) return false;
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (Ioctl(fd_, VIDIOC_STREAMON, &type) != 0) return false;
    onFrame_ = std::move(onFrame);
    stop_ = false;
    thread_ = std::thread([this] { Stream(); });
    return true;
  }

  void Stop() override {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) {
      v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      Ioctl(fd_, VIDIOC_STREAMOFF, &type);
    }
  }

 private:
  struct Buffer {
    void* start = MAP_FAILED;
    size_t length = 0;
  };

  // Opens `name` and sets a capture format the conversion knows; false when
  // the device cannot capture, stream or deliver one of them.
  bool TryDevice(const std::string& name, int fps) {
    fd_ = ::open(name.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return false;
    v4l2_capability capability{};
    if (Ioctl(fd_, VIDIOC_QUERYCAP, &capability) != 0) return false;
    const u32 caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0
                         ? capability.device_caps
                         : capability.capabilities;
    if ((caps & V4L2_CAP_VIDEO_CAPTURE) == 0 || (caps & V4L2_CAP_STREAMING) == 0) return false;
    static const struct {
      u32 fourcc;
      PixelLayout layout;
    } kFormats[] = {{V4L2_PIX_FMT_RGB24, PixelLayout::kRgb24},
                    {V4L2_PIX_FMT_BGR24, PixelLayout::kBgr24},
                    {V4L2_PIX_FMT_YUYV, PixelLayout::kYuyv}};
    bool accepted = false;
    for (const auto& wanted : kFormats) {
      v4l2_format format{};
      format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      format.fmt.pix.width = 640;
      format.fmt.pix.height = 480;
      format.fmt.pix.pixelformat = wanted.fourcc;
      format.fmt.pix.field = V4L2_FIELD_NONE;
      // A driver answers with the nearest format it has: only an exact one counts.
      if (Ioctl(fd_, VIDIOC_S_FMT, &format) != 0 || format.fmt.pix.pixelformat != wanted.fourcc ||
          format.fmt.pix.width == 0 || format.fmt.pix.height == 0 || format.fmt.pix.width > 65535 ||
          format.fmt.pix.height > 65535) {
        continue;
      }
      layout_ = wanted.layout;
      width_ = format.fmt.pix.width;
      height_ = format.fmt.pix.height;
      const u32 row = width_ * (layout_ == PixelLayout::kYuyv ? 2 : 3);
      stride_ = format.fmt.pix.bytesperline >= row ? format.fmt.pix.bytesperline : row;
      accepted = true;
      break;
    }
    if (!accepted) return false;
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parameters.parm.capture.timeperframe.numerator = 1;
    parameters.parm.capture.timeperframe.denominator = static_cast<u32>(fps);
    // Not every driver sets a rate: it then streams at its own.
    Ioctl(fd_, VIDIOC_S_PARM, &parameters);
    return true;
  }

  bool MapBuffers() {
    v4l2_requestbuffers request{};
    request.count = 4;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (Ioctl(fd_, VIDIOC_REQBUFS, &request) != 0 || request.count == 0) return false;
    buffers_.resize(request.count);
    for (u32 i = 0; i < request.count; ++i) {
      v4l2_buffer buffer{};
      buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      buffer.memory = V4L2_MEMORY_MMAP;
      buffer.index = i;
      if (Ioctl(fd_, VIDIOC_QUERYBUF, &buffer) != 0) return false;
      buffers_[i].length = buffer.length;
      buffers_[i].start =
          mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, buffer.m.offset);
      if (buffers_[i].start == MAP_FAILED) return false;
    }
    return true;
  }

  bool Queue(u32 index) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = index;
    return Ioctl(fd_, VIDIOC_QBUF, &buffer) == 0;
  }

  // The capture thread: waits for a filled buffer at most 100 ms at a time, so
  // that Stop is heard, and hands it on; a device error ends the stream.
  void Stream() {
    bool failed = false;
    while (!stop_ && !failed) {
      pollfd waiting{fd_, POLLIN, 0};
      const int ready = poll(&waiting, 1, 100);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0 || (waiting.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        failed = true;
        break;
      }
      if (ready == 0) continue;
      v4l2_buffer buffer{};
      buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      buffer.memory = V4L2_MEMORY_MMAP;
      if (Ioctl(fd_, VIDIOC_DQBUF, &buffer) != 0) {
        failed = errno != EAGAIN;
        continue;
      }
      if (buffer.index < buffers_.size() && (buffer.flags & V4L2_BUF_FLAG_ERROR) == 0) {
        CaptureFrame frame;
        frame.data = static_cast<const u8*>(buffers_[buffer.index].start);
        frame.width = width_;
        frame.height = height_;
        frame.stride = stride_;
        frame.bytesUsed =
            std::min<u32>(buffer.bytesused, static_cast<u32>(buffers_[buffer.index].length));
        frame.layout = layout_;
        frame.seconds = buffer.timestamp.tv_sec + 1e-6 * buffer.timestamp.tv_usec;
        onFrame_(frame);
      }
      if (!Queue(buffer.index)) failed = true;
    }
    if (failed && !stop_) onFrame_(CaptureFrame());
  }

  void Close() {
    for (Buffer& buffer : buffers_) {
      if (buffer.start != MAP_FAILED) munmap(buffer.start, buffer.length);
    }
    buffers_.clear();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  std::string device_;
  int fd_ = -1;
  u32 width_ = 0, height_ = 0, stride_ = 0;
  PixelLayout layout_ = PixelLayout::kRgb24;
  std::vector<Buffer> buffers_;
  FrameCallback onFrame_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

std::unique_ptr<CaptureSource> MakeV4L2CaptureSource(const std::string& device) {
  return std::make_unique<V4L2CaptureSource>(device);
}
