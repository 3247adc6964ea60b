#pragma once
// The detector's user-configurable parameters. The defaults are the specified
// detector: with every option at its default a detection is bit for bit what
// it always was. Each option is switched here and nowhere else; the
// detector reads them from detectorState().options, which the caller sets
// before the frames run and never changes while a frame is processed.

struct DetectorOptions {
    // Sub-pixel refinement of each identified marker's sides and vertices
    // (the grey-level edge across each side), feeding the pose. Off: the
    // contour's fitted lines and vertices, as specified.
    bool cornerRefine = false;
    // Fixed binarisation threshold, 1 .. 254: a pixel is dark when the sum of
    // its three channels is at most 3 x threshold.
    int threshold = 100;
    // A threshold that follows the local light instead of the fixed one
    // (labeling.cpp). With it, or with cornerRefine, markers up to 64 px
    // across are identified through their sub-pixel vertices with
    // interpolated samples rather than through whole-pixel contour corners.
    bool autoThreshold = false;
    // Square candidates examined per frame, counted before overlap removal;
    // the storage for more than 30 grows when a frame first needs it.
    int maxSquares = 30;
    // Largest dark region, in pixels, that can become a square candidate.
    int maxMarkerArea = 100000;
    // A match is believed only when the best pattern stands clear of the
    // others, the border is dark all round against a lighter surround and
    // the code shows the contrast its pattern predicts (identity_check.cpp).
    // Off: only a flat interior is refused.
    bool verifyMarkers = false;
};

// A real scene holds more dark squares than markers (a crowd of tags, and
// shelves, windows, print beside them): the real-camera choice examines this
// many candidates a frame unless a limit other than the default was set.
constexpr int kRealCameraMaxSquares = 500;

// The recommended detection for a real camera, as one choice: the
// automatic threshold, sub-pixel corners, verification and the candidate
// limit opened.
inline void applyRealCamera(DetectorOptions& options) {
    options.autoThreshold = true;
    options.cornerRefine = true;
    options.verifyMarkers = true;
    if (options.maxSquares == DetectorOptions{}.maxSquares) options.maxSquares = kRealCameraMaxSquares;
}
inline bool isRealCamera(const DetectorOptions& options) {
    return options.autoThreshold && options.cornerRefine && options.verifyMarkers;
}

// The allowed ranges of the options that take a number.
constexpr int kThresholdMin = 1, kThresholdMax = 254;
constexpr int kMaxSquaresMin = 1, kMaxSquaresMax = 500;
// Below the smallest candidate region (70 pixels) nothing could be found;
// above the largest working frame (2^28 pixels) the limit means nothing.
constexpr int kMaxMarkerAreaMin = 70, kMaxMarkerAreaMax = 1 << 28;
