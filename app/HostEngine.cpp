#include "app/HostEngine.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "app/DiskInput.h"
#include "optimization/IMUParameters.h"

namespace {

// The text buffer handed to the tracker with every frame.
constexpr size_t kTextCapacity = 4096;

}  // namespace

std::unique_ptr<HostEngine> HostEngine::Create(const HostSettings& s, std::string& why) {
  // Sizes are stored in 16 bits and the small image is a sixteenth of the frame.
  if (s.width < 64 || s.width > 65535 || s.height < 64 || s.height > 65535) {
    why = "frame size " + std::to_string(s.width) + "x" + std::to_string(s.height) +
          " is outside 64..65535";
    return nullptr;
  }
  if (!(s.hfovDegrees > 0.0 && s.hfovDegrees < 180.0)) {
    why = "field of view " + std::to_string(s.hfovDegrees) + " is outside (0, 180) degrees";
    return nullptr;
  }
  const double f = s.width / (2.0 * std::tan(s.hfovDegrees * 0.01745329238474369 / 2.0));
  Intrinsic intrinsic;
  intrinsic.Set(static_cast<float>(f), static_cast<float>(f), (s.width - 1) * 0.5f,
                (s.height - 1) * 0.5f);
  return std::unique_ptr<HostEngine>(new HostEngine(s, intrinsic));
}

HostEngine::HostEngine(const HostSettings& s, const Intrinsic& intrinsic)
    : width_(s.width), height_(s.height), intrinsic_(intrinsic), startTime_(DBL_MAX) {
  const f64 bodyToCamera[7] = {-0.7071067811865476, 0.7071067811865476, 0, 0,
                               s.extrinsicX,        s.extrinsicY,       0};
  map_ = std::make_unique<GlobalMap>(static_cast<u16>(width_), static_cast<u16>(height_),
                                     intrinsic_, bodyToCamera);
  workers_ = std::make_unique<EngineWorkers>(map_.get(), s.parallel,
                                             WorkerLogs{{static_cast<u8>(s.verbose), ""},
                                                        {static_cast<u8>(s.verbose), ""},
                                                        {static_cast<u8>(s.verbose), ""},
                                                        {static_cast<u8>(s.verbose), ""},
                                                        {static_cast<u8>(s.verbose), ""}});
  TrackerOptions options;
  options.parallel = s.parallel;
  options.verbose = s.verbose;
  options.imageRotation = true;
  options.isoWindow = true;
  // The display opens when a window can be had; without one it only keeps its state.
  options.view = true;
  tracker_ = std::make_unique<Tracker>(map_.get(), workers_->Channels(), options);
  // The marker phase's capture window would wait for keys inside the host's
  // call; the host hands its template to the detector instead.
  tracker_->SetMarkerTemplateFile("");
  detector_ = std::make_unique<MarkerDetector>(static_cast<u16>(width_), static_cast<u16>(height_),
                                               &intrinsic_, s.markerTemplate,
                                               MarkerDetector::kUnknownSize, nullptr, false);
  frame_.resize(CVD::ImageRef(width_, height_));
  text_.assign(kTextCapacity, '\0');
  SetPoseInvalid(pose_);
  workers_->Start();
}

HostEngine::~HostEngine() {
  tracker_->Quit();
  workers_->Stop();
}

void HostEngine::SetServer(const std::string& host) {
  if (workers_->HasServer()) return;
  workers_->StartServer(host, tracker_.get(), true);
}

void HostEngine::StartTracking(const HostImuSample* imu, int count) {
  startTime_ = DBL_MAX;
  clockRunning_ = false;
  imuBuilder_.Reset();
  if (imu != nullptr) ConvertImuSamples(imu, count);
  tracker_->Reset(true);
  tracker_->SetImageRotation(true);
  tracker_->SetEndFrame(kUnsetCounter);
  tracker_->SetStartFrame(tracker_->Status().frameCounter + 1);
}

void HostEngine::ConvertImuSamples(const HostImuSample* imu, int count) {
  readings_.clear();
  for (int i = 0; i < count; ++i) {
    const HostImuSample& s = imu[i];
    ImuReading r{s.time, {s.x, s.y, s.z}, s.type};
    if (r.type == 0) {
      for (f64& v : r.value) v *= -9.81;
    }
    readings_.push_back(r);
  }
  // Readings may start the clock before the first frame; once a frame is
  // timed it stays (an inertial unit that ran before the camera may hand its
  // readings over late, and they must not shift the frames already run).
  imuBuilder_.Build(readings_, startTime_, clockRunning_, imu_);
}

void HostEngine::TakeFrame(const HostFrame& frame, UndistortionTable& table) {
  for (int y = 0; y < height_; ++y) {
    std::memcpy(frame_[y], frame.pixels + static_cast<size_t>(y) * width_, width_);
  }
  if (table.Present()) {
    table.CopyFrameForRemap(frame_);
    table.RemapFrame(frame_);
  }
}

void HostEngine::RunTracking(TrackingResult& out, const HostFrame& frame, const HostImuSample* imu,
                             int count, const double* prior, UndistortionTable& table) {
  TakeFrame(frame, table);
  TrackerInput input;
  input.grey = frame_;
  if (frame.marker != nullptr) {
    std::memcpy(marker_, frame.marker, sizeof(marker_));
    input.marker = marker_;
  }
  if (imu != nullptr) {
    ConvertImuSamples(imu, count > 0 ? count : 0);
    // Samples start at the first gyroscope reading: from then on the run's
    // rates are measured, not read off the images (which take a sideways
    // step for a turn), as they are for the console's readings.
    if (!imu_.empty()) tracker_->SetImageRotation(false);
    // No reading yet: the clock starts with this frame, if it has a time.
    if (startTime_ == DBL_MAX && std::isfinite(frame.time)) startTime_ = frame.time;
    if (prior != nullptr && startTime_ != DBL_MAX && IsUsablePrior(prior) &&
        std::isfinite(prior[7] - startTime_)) {
      NormalisePriorQuaternion(prior, prior_);
      for (int i = 4; i < 7; ++i) prior_[i] = -prior[i];
      prior_[7] = prior[7] - startTime_;
    } else {
      prior_[7] = DBL_MAX;
    }
  } else {
    imu_.clear();
    prior_[7] = DBL_MAX;
    // A frame without a time would leave every later time NaN.
    if (startTime_ == DBL_MAX && std::isfinite(frame.time)) startTime_ = frame.time;
  }
  input.time = frame.time - startTime_;
  clockRunning_ = startTime_ != DBL_MAX;
  text_[0] = '\0';
  tracker_->Run(input, imu_, prior_, pose_, planes_, objectMatrices_, &parallax_, &progress_,
                text_.data(), text_.size());

  // The pose: orientation of R and the centre -R^T t (from FLT_MAX when lost).
  LA::AlignedMatrix3f R;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) R.m[r][c] = pose_.m[r][c];
  }
  RotationToQuaternion(R, out.quaternion);
  for (int c = 0; c < 3; ++c) {
    out.centre[c] = -(pose_.m[0][c] * pose_.m[0][3] + pose_.m[1][c] * pose_.m[1][3] +
                      pose_.m[2][c] * pose_.m[2][3]);
  }
  std::memset(out.zero, 0, sizeof(out.zero));
  out.planeCount = static_cast<int32_t>(planes_.Size());
  out.planes = planes_.Empty() ? nullptr : planes_.Data()->v;
  out.parallax = parallax_;
  out.progress = progress_;
  out.text = text_.data();

  const bool lost = pose_.m[0][0] == FLT_MAX;
  if (lost) {
    out.status = resetPending_ ? 0 : justInitialised_ ? 1 : 3;
  } else if (resetPending_) {
    resetPending_ = false;
    justInitialised_ = true;
    out.status = 1;
  } else if (justInitialised_) {
    justInitialised_ = false;
    out.status = 1;
  } else {
    out.status = workers_->HasServer() && tracker_->Status().serverFlag ? 4 : 2;
  }

  // Each object's record from its matrix: rotation rows (m0, m4, m8), ...,
  // position (m3, m7, m11), scale m12.
  for (size_t i = 0; i < objects_.size() && i < objectMatrices_.Size(); ++i) {
    const float* m = &objectMatrices_[static_cast<u32>(i)].m[0][0];
    LA::AlignedMatrix3f Ro;
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) Ro.m[r][c] = m[4 * c + r];
    }
    RegisteredObject& object = objects_[i];
    RotationToQuaternion(Ro, object.quaternion);
    object.position[0] = m[3];
    object.position[1] = m[7];
    object.position[2] = m[11];
    object.scale = 1.0f / (1.0f / m[12]);
  }
  out.objects = objects_.empty() ? nullptr : objects_.data();
  out.objectCount = static_cast<int32_t>(objects_.size());
}

void HostEngine::ResetTracking() {
  tracker_->Reset(true);
  tracker_->SetImageRotation(true);
  tracker_->Objects().Clear();
  objects_.clear();
  resetPending_ = true;
}

void HostEngine::RunMarkerDetection(float out[10], const HostFrame& frame, const double* prior,
                                    UndistortionTable& table) {
  CameraPose pose;
  // A prior without a rotation (a zero or non-finite quaternion) is none.
  if (prior != nullptr && IsUsablePrior(prior)) {
    IMUState state{};
    NormalisePriorQuaternion(prior, state.quaternion);
    state.time = prior[7];
    float scratch[8];
    PoseToCamera(state, tracker_->Camera().bodyToCamera, pose, scratch);
  } else {
    // Looking straight down from the initial height.
    const float rows[3][3] = {{0, -1, 0}, {-1, 0, 0}, {0, 0, -1}};
    const float c[3] = {0, 0, IMU_INITIAL_HEIGHT};
    for (int r = 0; r < 3; ++r) {
      for (int k = 0; k < 3; ++k) pose.m[r][k] = rows[r][k];
      pose.m[r][3] = -(rows[r][0] * c[0] + rows[r][1] * c[1] + rows[r][2] * c[2]);
    }
  }
  TakeFrame(frame, table);
  if (detector_->Run(frame_, pose, out)) {
    out[8] = IMU_MARKER_HEIGHT;
    out[9] = IMU_MARKER_WIDTH;
  } else {
    out[8] = out[9] = -1.0f;
  }
}

bool HostEngine::SaveFile(const std::string& path) {
  // The state is written beside its name first; a folder is no name for it.
  std::error_code ec;
  if (path.empty() || std::filesystem::is_directory(path, ec)) return false;
  return tracker_->SaveState(path);
}

bool HostEngine::RegisterObject(const RegisteredObject& object) {
  // A NaN in the record would be carried into the object's pose every frame.
  bool finite = std::isfinite(object.scale);
  for (const float q : object.quaternion) finite = finite && std::isfinite(q);
  for (const float p : object.position) finite = finite && std::isfinite(p);
  if (!finite) return false;
  for (const RegisteredObject& o : objects_) {
    if (o.id == object.id) return false;
  }
  if (tracker_->Ring().Current() == kNone16) return false;
  LA::AlignedMatrix3f R;
  float scratch[4];
  QuaternionToRotation(R, object.quaternion, scratch);
  LA::AlignedMatrix4f transform;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) transform.m[r][c] = R.m[r][c];
    transform.m[r][3] = -(R.m[r][0] * object.position[0] + R.m[r][1] * object.position[1] +
                          R.m[r][2] * object.position[2]);
    transform.m[3][r] = 1.0f;
  }
  transform.m[3][3] = 1.0f;
  if (!tracker_->RegisterObject(transform)) return false;
  objects_.push_back(object);
  return true;
}

bool HostEngine::DeregisterObject(int id) {
  for (size_t i = 0; i < objects_.size(); ++i) {
    if (objects_[i].id != id) continue;
    objects_.erase(objects_.begin() + static_cast<std::ptrdiff_t>(i));
    tracker_->DeregisterObject(static_cast<i32>(i));
    return true;
  }
  return false;
}
