#include "capture_worker.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include "camera.h"
#include "detect_markers.h"
#include "detector_state.h"
#include "frame_window.h"
#include "pattern_file.h"
#include "pattern_writer.h"

namespace {

const cv::Scalar kSelectedColour(0, 0, 255, 0); // red, BGRA
const cv::Scalar kOtherColour(0, 255, 255, 0);  // yellow

std::string numbered(const char* format, int n) {
    char text[32];
    std::snprintf(text, sizeof text, format, n);
    return text;
}

} // namespace

void CaptureMouse::onEvent(int event, int eventX, int eventY) {
    x = eventX;
    y = eventY;
    switch (event) {
    case cv::EVENT_LBUTTONDOWN:
        left = true;
        ++leftPresses;
        break;
    case cv::EVENT_LBUTTONUP: left = false; break;
    case cv::EVENT_RBUTTONDOWN: right = true; break;
    case cv::EVENT_RBUTTONUP: right = false; break;
    case cv::EVENT_MBUTTONDOWN: middle = true; break;
    case cv::EVENT_MBUTTONUP: middle = false; break;
    default: break;
    }
}

int selectMarkerAt(const MarkerInfo* markers, int count, int x, int y) {
    int selected = -1;
    for (int i = 0; i < count; ++i) {
        int minX = 10000, minY = 10000, maxX = -1, maxY = -1;
        for (const auto& v : markers[i].vertex) {
            minX = std::min(minX, static_cast<int>(v[0]));
            maxX = std::max(maxX, static_cast<int>(v[0]));
            minY = std::min(minY, static_cast<int>(v[1]));
            maxY = std::max(maxY, static_cast<int>(v[1]));
        }
        if (minX <= x && x <= maxX && minY <= y && y < maxY) selected = i;
    }
    return selected;
}

void drawCaptureOutlines(cv::Mat& image, const MarkerInfo* markers, int count, int selected) {
    for (int i = 0; i < count; ++i) {
        const MarkerInfo& m = markers[i];
        const cv::Scalar& colour = i == selected ? kSelectedColour : kOtherColour;
        for (int k = 0; k < 4; ++k) {
            const double* a = m.vertex[k];
            const double* b = m.vertex[(k + 1) % 4];
            cv::line(image, cv::Point(static_cast<int>(a[0]), static_cast<int>(a[1])),
                     cv::Point(static_cast<int>(b[0]), static_cast<int>(b[1])), colour, 2, cv::LINE_8);
        }
        // Reflecting the centre in the middle of edge 2-3 gives a stroke that
        // crosses that edge at its middle and sticks out as far beyond it.
        const cv::Point c(static_cast<int>(m.pos[0]), static_cast<int>(m.pos[1]));
        const cv::Point end(c.x + static_cast<int>(m.vertex[2][0] - c.x) + static_cast<int>(m.vertex[3][0] - c.x),
                            c.y + static_cast<int>(m.vertex[2][1] - c.y) + static_cast<int>(m.vertex[3][1] - c.y));
        cv::line(image, c, end, colour, 2, cv::LINE_8);
    }
}

std::string capturedPatternName(int n) { return numbered("P%03d", n); }
std::string capturedPatternFile(int n) { return numberedFileName(n, ".patt"); }
std::string capturedThumbnailFile(int n) { return numberedFileName(n, ".jpg"); }

void CaptureWorker::start(CaptureHost& host, CaptureJob job) {
    // Set before the thread starts, so the new run never sees the old count.
    frames_ = 0;
    {
        std::lock_guard<std::mutex> lock(latestLock_);
        notices_.clear();
    }
    thread_.start([this, &host, job = std::move(job)] { run(host, job); });
}

std::vector<MarkerInfo> CaptureWorker::latestMarkers() const {
    std::lock_guard<std::mutex> lock(latestLock_);
    return latest_;
}

void CaptureWorker::publishFrame(const MarkerInfo* markers, int count) {
    {
        std::lock_guard<std::mutex> lock(latestLock_);
        latest_.assign(markers, markers + count);
    }
    ++frames_;
}

void CaptureWorker::notify(FrameDisplay& display, const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
    {
        std::lock_guard<std::mutex> lock(latestLock_);
        notices_.push_back(text);
    }
    display.showNotice(text);
}

std::vector<std::string> CaptureWorker::notices() const {
    std::lock_guard<std::mutex> lock(latestLock_);
    return notices_;
}

void CaptureWorker::captureMarker(CaptureHost& host, FrameDisplay& display, const CaptureJob& job, const MarkerInfo& marker,
                                  const cv::Mat& workImage, cv::Mat& thumbnail) {
    const int n = host.patternRowCount();
    const std::string patternPath = "Data/" + capturedPatternFile(n);
    const std::string thumbnailPath = "Data/" + capturedThumbnailFile(n);

    // A row is added only once both files exist: a row without its files
    // would load nothing at the next Start and shift no numbers back.
    warpThumbnail(marker, thumbnail, workImage);
    bool saved = false;
    try {
        saved = cv::imwrite(thumbnailPath, thumbnail);
    } catch (const cv::Exception&) {
    }
    if (!saved) {
        notify(display, "The thumbnail " + thumbnailPath + " could not be written.");
        return;
    }
    std::string refusal;
    std::string warning;
    if (writePatternFile(workImage.data, marker, patternPath.c_str(), &refusal, &warning) != 0) {
        std::remove(thumbnailPath.c_str());
        // A refused pattern was seen well; holding it still would not help.
        if (!refusal.empty())
            notify(display, "The pattern " + patternPath + " was not written: " + refusal + ".");
        else
            notify(display, "The pattern " + patternPath +
                               " could not be written: the marker was not seen in the latest frame, "
                               "or the file cannot be created. Hold the marker still and click again.");
        return;
    }
    if (!warning.empty()) notify(display, "The pattern " + patternPath + " was written, but " + warning + ".");
    PatternEntry entry;
    entry.index = n;
    entry.name = capturedPatternName(n);
    entry.path = capturedPatternFile(n);
    entry.width = job.defaultWidthMm;
    entry.inUse = true;
    host.addPatternRow(entry);
}

void CaptureWorker::run(CaptureHost& host, CaptureJob job) {
    std::string endReason;
    try {
        FrameDisplay display(CAPTURE_WINDOW, &mouse, job.windowOwner);

        GrabFrame(*job.camera);
        GrabFrame(*job.camera);
        const int width = job.camera->FrameImage.cols;
        const int height = job.camera->FrameImage.rows;
        cv::Mat workImage(height, width, CV_8UC4);

        CameraParam scaled;
        // A record with zero focal lengths installs fine and then finds nothing.
        const std::string problem = cameraParamProblem(job.cameraParam);
        if (!problem.empty()) {
            endReason = std::string(kCameraParamPath) + " holds no usable camera: " + problem + ".";
            CaptureRunning = 0;
        } else if (scaleCameraParam(job.cameraParam, width, height, scaled) != 0 ||
                   setWorkingCameraParam(scaled) != 0) {
            endReason = std::string(kCameraParamPath) + " does not fit the camera's frames.";
            CaptureRunning = 0;
        } else {
            printCameraParam(scaled);
        }
        detectorState().options = job.detectorOptions;
        cv::Mat thumbnail(kThumbnailSide, kThumbnailSide, CV_8UC4);
        unsigned pressesSeen = mouse.leftPresses;

        bool grabFailing = false;
        while (CaptureRunning) {
            // A stalled source leaves the previous frame in place; say so once.
            const bool grabbed = GrabFrame(*job.camera) == GrabStatus::Ok;
            if (!grabbed && !grabFailing)
                notify(display, "The camera delivers no frames: " + job.camera->lastError);
            grabFailing = !grabbed;
            cv::cvtColor(job.camera->FrameImage, workImage, cv::COLOR_BGR2BGRA);
            MarkerInfo* markers = nullptr;
            int count = 0;
            if (detectMarkersWithHistory(workImage.data, job.detectorOptions.threshold, &markers, &count) != 0) count = 0;

            const int selected = selectMarkerAt(markers, count, mouse.x, mouse.y);
            // Every press since the previous frame is one edge, whether the
            // button is still down or already up again; a held button is no
            // new press. So each click captures once, however short.
            const unsigned presses = mouse.leftPresses;
            if (presses != pressesSeen && selected != -1)
                captureMarker(host, display, job, markers[selected], workImage, thumbnail);
            pressesSeen = presses;

            drawCaptureOutlines(workImage, markers, count, selected);
            publishFrame(markers, count);
            display.show(workImage);
            if (display.ended()) CaptureRunning = 0;
        }
    } catch (const std::exception& e) {
        std::printf("pattern capture ended: %s\n", e.what());
        endReason = std::string("Pattern capture ended: ") + e.what();
    }
    CloseCamera(*job.camera);
    CaptureRunning = 0;
    // Only once the window is gone: a message box while it shows would
    // take the input away from it.
    if (!endReason.empty()) host.reportProblem(endReason);
    host.captureEnded();
}
