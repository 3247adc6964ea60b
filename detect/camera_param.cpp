#include "camera_param.h"

#include <cmath>
#include <cstring>
#include <new>

#include "detector_state.h"
#include "whole_file.h"

namespace {

// The file's numbers are big-endian whatever the host; assembling them byte
// by byte keeps the reader and the writer independent of the host order.
uint64_t readBigEndian(const unsigned char* bytes, int size) {
    uint64_t value = 0;
    for (int i = 0; i < size; ++i) value = (value << 8) | bytes[i];
    return value;
}

void writeBigEndian(uint64_t value, int size, unsigned char* bytes) {
    for (int i = size - 1; i >= 0; --i) {
        bytes[i] = static_cast<unsigned char>(value & 0xff);
        value >>= 8;
    }
}

double readDouble(const unsigned char* bytes) {
    const uint64_t bits = readBigEndian(bytes, 8);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void writeDouble(double value, unsigned char* bytes) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    writeBigEndian(bits, 8, bytes);
}

void decodeRecord(const unsigned char* bytes, CameraParam& record) {
    record.xsize = static_cast<int32_t>(static_cast<uint32_t>(readBigEndian(bytes, 4)));
    record.ysize = static_cast<int32_t>(static_cast<uint32_t>(readBigEndian(bytes + 4, 4)));
    const unsigned char* p = bytes + 8;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c, p += 8) record.projection[r][c] = readDouble(p);
    for (int i = 0; i < 4; ++i, p += 8) record.distortion[i] = readDouble(p);
}

void encodeRecord(const CameraParam& record, unsigned char* bytes) {
    writeBigEndian(static_cast<uint32_t>(record.xsize), 4, bytes);
    writeBigEndian(static_cast<uint32_t>(record.ysize), 4, bytes + 4);
    unsigned char* p = bytes + 8;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c, p += 8) writeDouble(record.projection[r][c], p);
    for (int i = 0; i < 4; ++i, p += 8) writeDouble(record.distortion[i], p);
}

constexpr int kNewtonSteps = 3;
// The labeling stores a provisional label per pixel; beyond this the working
// size is a corrupt record rather than a camera.
constexpr long long kMaxWorkingPixels = 1LL << 28;

} // namespace

int loadCameraParam(const char* path, int count, CameraParam* records) {
    if (count < 1) return -1;
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return -1;
    int result = 0;
    unsigned char bytes[kCameraParamRecordBytes];
    for (int i = 0; i < count; ++i) {
        // A short tail is not a record: the caller's record keeps its value.
        if (std::fread(bytes, 1, sizeof bytes, file) != sizeof bytes) {
            result = -1;
            break;
        }
        decodeRecord(bytes, records[i]);
    }
    std::fclose(file);
    return result;
}

int saveCameraParam(const char* path, int count, const CameraParam* records) {
    if (count < 1) return -1;
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return -1;
    int result = 0;
    unsigned char bytes[kCameraParamRecordBytes];
    for (int i = 0; i < count && result == 0; ++i) {
        encodeRecord(records[i], bytes);
        if (std::fwrite(bytes, 1, sizeof bytes, file) != sizeof bytes) result = -1;
    }
    if (std::fclose(file) != 0) result = -1;
    return result;
}

int scaleCameraParam(const CameraParam& source, int newWidth, int newHeight, CameraParam& out) {
    // A zeroed record would turn every parameter into infinities.
    if (source.xsize <= 0) return -1;
    // The calibration's aspect is kept: only the width fixes the scale.
    const double scale = static_cast<double>(newWidth) / source.xsize;
    CameraParam scaled = source;
    scaled.xsize = newWidth;
    scaled.ysize = newHeight;
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 4; ++c) scaled.projection[r][c] = source.projection[r][c] * scale;
    scaled.distortion[0] = source.distortion[0] * scale;
    scaled.distortion[1] = source.distortion[1] * scale;
    scaled.distortion[2] = source.distortion[2] / (scale * scale);
    scaled.distortion[3] = source.distortion[3];
    out = scaled;
    return 0;
}

int printCameraParam(const CameraParam& record, FILE* out) {
    std::fprintf(out, "--------------------------------------\n");
    std::fprintf(out, "SIZE = %d, %d\n", record.xsize, record.ysize);
    std::fprintf(out, "Distortion factor = %f %f %f %f\n", record.distortion[0], record.distortion[1],
                 record.distortion[2], record.distortion[3]);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 4; ++c) std::fprintf(out, "%7.5f ", record.projection[r][c]);
        std::fprintf(out, "\n");
    }
    std::fprintf(out, "--------------------------------------\n");
    return 0;
}

std::string cameraParamProblem(const CameraParam& record) {
    if (record.xsize <= 0 || record.ysize <= 0)
        return "its image size " + std::to_string(record.xsize) + "x" + std::to_string(record.ysize) +
               " is not positive";
    for (const double* row : record.projection)
        for (int c = 0; c < 4; ++c)
            if (!std::isfinite(row[c])) return "its projection holds a number that is not finite";
    for (double d : record.distortion)
        if (!std::isfinite(d)) return "its distortion holds a number that is not finite";
    // Zero focal lengths project every point onto the centre: nothing
    // would ever be found, and nothing would say why.
    if (!(record.projection[0][0] > 0.0) || !(record.projection[1][1] > 0.0))
        return "its focal lengths " + std::to_string(record.projection[0][0]) + " and " +
               std::to_string(record.projection[1][1]) + " are not positive";
    if (!(record.distortion[3] > 0.0))
        return "its distortion scale " + std::to_string(record.distortion[3]) + " is not positive";
    return "";
}

bool readCameraParamFile(const char* path, CameraParam& record, std::string& error) {
    // Read whole first: a directory where the file should be opens, and
    // then reads nothing, which is no reason to call it missing.
    std::string bytes, reason;
    if (!readWholeFile(path, bytes, reason)) {
        error = std::string(path) + " cannot be read: " + reason;
        return false;
    }
    if (bytes.size() < static_cast<size_t>(kCameraParamRecordBytes)) {
        error = std::string(path) + " is shorter than one camera record (136 bytes)";
        return false;
    }
    CameraParam read;
    decodeRecord(reinterpret_cast<const unsigned char*>(bytes.data()), read);
    const std::string problem = cameraParamProblem(read);
    if (!problem.empty()) {
        error = std::string(path) + " holds no usable camera: " + problem;
        return false;
    }
    record = read;
    return true;
}

std::string cameraScaleWarning(const CameraParam& source, int newWidth, int newHeight) {
    if (source.xsize <= 0 || source.ysize <= 0 || newWidth <= 0 || newHeight <= 0) return "";
    const double aspect = static_cast<double>(source.xsize) / source.ysize;
    const double newAspect = static_cast<double>(newWidth) / newHeight;
    // Sizes rounded to whole pixels differ in aspect by well under 1 %.
    if (std::fabs(newAspect / aspect - 1.0) < 0.01) return "";
    // Only a landscape record and portrait frames, or the reverse, are turned;
    // a square frame is neither.
    const bool turned = (source.xsize > source.ysize && newWidth < newHeight) ||
                        (source.xsize < source.ysize && newWidth > newHeight);
    char ratios[96];
    std::snprintf(ratios, sizeof ratios, " (width to height %.2f, the record's %.2f)", newAspect, aspect);
    return "the camera record is for " + std::to_string(source.xsize) + "x" + std::to_string(source.ysize) +
           " images and the frames are " + std::to_string(newWidth) + "x" + std::to_string(newHeight) +
           (turned ? ", turned the other way" : ", of another aspect ratio") + ratios +
           ": scaled by the width alone, its focal lengths and centre do not fit these frames; "
           "calibrate at this size (quillmark calibrate)";
}

int setWorkingCameraParam(const CameraParam& record) {
    if (record.xsize <= 0 || record.ysize <= 0) return -1;
    const long long pixels = static_cast<long long>(record.xsize) * record.ysize;
    if (pixels > kMaxWorkingPixels) return -1;
    DetectorState& state = detectorState();
    try {
        // Sized here, once per install, so that no frame allocates.
        state.label.labels.assign(static_cast<std::size_t>(pixels), 0);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    state.label.result = LabelImage{};
    state.camera.param = record;
    state.camera.xsize = record.xsize;
    state.camera.ysize = record.ysize;
    return 0;
}

int observedToIdeal(const double distortion[4], double ox, double oy, double* ix, double* iy) {
    const double x0 = distortion[0];
    const double y0 = distortion[1];
    const double p = distortion[2] / kRadialFactorScale;
    const double s = distortion[3];

    double dx = ox - x0;
    double dy = oy - y0;
    double r2 = dx * dx + dy * dy;
    double z = std::sqrt(r2);
    const double z0 = z;
    // Newton's method on (1 - p r^2) r = observed radius; a fixed three steps
    // keep the mapping identical from frame to frame.
    for (int step = 1; step <= kNewtonSteps; ++step) {
        if (z == 0.0) {
            dx = 0.0;
            dy = 0.0;
            break;
        }
        const double zNext = z - ((1.0 - p * r2) * z - z0) / (1.0 - 3.0 * p * r2);
        dx = dx * zNext / z;
        dy = dy * zNext / z;
        if (step == kNewtonSteps) break;
        r2 = dx * dx + dy * dy;
        z = std::sqrt(r2);
    }
    *ix = dx / s + x0;
    *iy = dy / s + y0;
    return 0;
}

int idealToObserved(const double distortion[4], double ix, double iy, double* ox, double* oy) {
    const double x0 = distortion[0];
    const double y0 = distortion[1];
    const double p = distortion[2] / kRadialFactorScale;
    const double s = distortion[3];

    const double dx = (ix - x0) * s;
    const double dy = (iy - y0) * s;
    if (dx == 0.0 && dy == 0.0) {
        *ox = x0;
        *oy = y0;
        return 0;
    }
    const double d = 1.0 - p * (dx * dx + dy * dy);
    *ox = x0 + dx * d;
    *oy = y0 + dy * d;
    return 0;
}
