#pragma once
// The tag36h11 family of the installed AprilTag library, for the benchmarks
// that draw its tags.
#include <cstdint>
#include <opencv2/core.hpp>
#include <apriltag/apriltag.h>
#include <apriltag/tag36h11.h>

class TagFamily {
public:
    TagFamily() : family_(tag36h11_create()) {}
    ~TagFamily() { tag36h11_destroy(family_); }
    TagFamily(const TagFamily&) = delete;
    TagFamily& operator=(const TagFamily&) = delete;

    apriltag_family_t* get() const { return family_; }
    int size() const { return static_cast<int>(family_->ncodes); }

    // The library's image of the tag less its outer white ring.
    cv::Mat image(int id) const {
        image_u8_t* full = apriltag_to_image(family_, id);
        const int ring = (family_->total_width - family_->width_at_border) / 2;
        const int side = family_->width_at_border;
        cv::Mat square(side, side, CV_8UC1);
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x) square.at<uint8_t>(y, x) = full->buf[(y + ring) * full->stride + x + ring];
        image_u8_destroy(full);
        return square;
    }

private:
    apriltag_family_t* family_;
};
