#pragma once
// A point through a 3x3 image map held as three rows of four floats, shared by
// the marker detector, the track matcher and the tracker.

// out = H (p, 1) with the homogeneous division; when H[2][0] is FLT_MAX the
// map is affine and its third row is not read.
void ApplyHomography(const float H[3][4], const float p[2], float out[2]);
