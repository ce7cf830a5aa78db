#pragma once
// The camera model of the pose estimators: [R | t] in three rows of four
// floats, x_cam = R X + t, the layout of CameraPose.
#include "la/LinearAlgebra.h"

struct alignas(16) Camera : public LA::AlignedMatrix3f {};
