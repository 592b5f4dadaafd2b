#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "viewer/picture.h"

namespace vel::client {

// Decoded NV12 pictures as a YUV4MPEG2 file: the header of the first picture ("YUV4MPEG2 W H
// F60:1 Ip A1:1 C420mpeg2 XCOLORRANGE=LIMITED"), then per picture "FRAME" and the Y, Cb and Cr
// planes. A stream has one size, so pictures of another size are counted, not written.
class Y4mWriter {
  public:
    // False with the reason when the file cannot be created.
    [[nodiscard]] bool open(const std::string& path, std::string& error);
    [[nodiscard]] bool write(const viewer::ViewerPicture& picture, std::string& error);
    // Flushes and closes; false when the data did not reach the file.
    [[nodiscard]] bool close(std::string& error);

    std::uint64_t written() const { return written_; }
    std::uint64_t otherSize() const { return otherSize_; }

  private:
    struct Closer {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, Closer> file_;
    std::string path_;
    int width_ = 0;
    int height_ = 0;
    std::uint64_t written_ = 0;
    std::uint64_t otherSize_ = 0;
};

}  // namespace vel::client
