#include "client/y4m_writer.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace vel::client {

bool Y4mWriter::open(const std::string& path, std::string& error) {
    file_.reset(std::fopen(path.c_str(), "wb"));
    if (!file_) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    return true;
}

bool Y4mWriter::write(const viewer::ViewerPicture& picture, std::string& error) {
    if (picture.format != viewer::PictureFormat::Nv12) {
        error = "Y4M frames are written from NV12 pictures";
        return false;
    }
    if (written_ == 0 && otherSize_ == 0) {
        width_ = picture.width;
        height_ = picture.height;
        std::fprintf(file_.get(),
                     "YUV4MPEG2 W%d H%d F60:1 Ip A1:1 C420mpeg2 XCOLORRANGE=LIMITED\n", width_,
                     height_);
    }
    if (picture.width != width_ || picture.height != height_) {
        ++otherSize_;
        return true;
    }
    const auto w = static_cast<std::size_t>(width_);
    const auto h = static_cast<std::size_t>(height_);
    std::vector<std::uint8_t> planes(w * h / 2);
    const std::uint8_t* uv = picture.pixels.data() + w * h;
    const std::size_t quarter = w * h / 4;
    for (std::size_t i = 0; i < quarter; ++i) {
        planes[i] = uv[2 * i];
        planes[quarter + i] = uv[2 * i + 1];
    }
    std::fputs("FRAME\n", file_.get());
    std::fwrite(picture.pixels.data(), 1, w * h, file_.get());
    if (std::fwrite(planes.data(), 1, planes.size(), file_.get()) != planes.size()) {
        error = "cannot write " + path_ + ": " + std::strerror(errno);
        return false;
    }
    ++written_;
    return true;
}

bool Y4mWriter::close(std::string& error) {
    if (!file_) return true;
    std::FILE* file = file_.release();
    const bool flushed = std::fflush(file) == 0;
    const bool closed = std::fclose(file) == 0;
    if (!flushed || !closed) {
        error = "cannot write " + path_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace vel::client
