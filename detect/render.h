#pragma once
// Renders printed markers into frames at known poses through a CameraParam,
// with the lens distortion applied; used by tests, benchmarks and the
// synthetic camera. (Interface to be filled in with the renderer.)
