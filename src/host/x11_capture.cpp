#include "host/x11_capture.h"

#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
// X.h names a query class CursorShape; the capture's type of that name is meant below.
#undef CursorShape

#include <algorithm>
#include <cstring>
#include <vector>

#include "os/system_error.h"
#include "core/time.h"
#include "host/cursor_image.h"
#include "host/monitor_layout.h"
#include "host/x11_display.h"

namespace vel::host {
namespace {

// An XImage whose pixel memory belongs to someone else (a shared segment or a vector).
struct BorrowedImageDeleter {
    void operator()(XImage* image) const {
        image->data = nullptr;
        XDestroyImage(image);
    }
};
using BorrowedImage = std::unique_ptr<XImage, BorrowedImageDeleter>;

bool isBgrx(const XImage* image, int width, std::string& error) {
    if (image->bits_per_pixel != 32 || image->bytes_per_line != width * 4 ||
        image->byte_order != LSBFirst || image->red_mask != 0xFF0000 ||
        image->green_mask != 0xFF00 || image->blue_mask != 0xFF) {
        error =
            "the screen's pixels are not 32-bit BGRX (depth " + std::to_string(image->depth) + ")";
        return false;
    }
    return true;
}

// Where the pixels of one image come from.
class PixelSource {
  public:
    virtual ~PixelSource() = default;
    [[nodiscard]] virtual bool build(Display* display, int width, int height,
                                     std::string& error) = 0;
    [[nodiscard]] virtual bool grab(Display* display, Window root, const Rect& area) = 0;
    virtual std::uint8_t* pixels() = 0;
};

// A System V segment attached to the server and to us. Marked for removal as soon as both are
// attached, so it cannot outlive the process.
class ShmSource final : public PixelSource {
  public:
    ~ShmSource() override { release(); }

    bool build(Display* display, int width, int height, std::string& error) override {
        int major = 0, minor = 0;
        Bool pixmaps = False;
        if (!XShmQueryExtension(display) || !XShmQueryVersion(display, &major, &minor, &pixmaps)) {
            error = "the X server has no MIT-SHM extension";
            return false;
        }
        const int screen = DefaultScreen(display);
        image_.reset(XShmCreateImage(display, DefaultVisual(display, screen),
                                     static_cast<unsigned>(DefaultDepth(display, screen)), ZPixmap,
                                     nullptr, &info_, static_cast<unsigned>(width),
                                     static_cast<unsigned>(height)));
        if (!image_) {
            error = "XShmCreateImage failed";
            return false;
        }
        if (!isBgrx(image_.get(), width, error)) return false;
        info_.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(image_->bytes_per_line) * height,
                             IPC_CREAT | 0600);
        if (info_.shmid < 0) {
            error = FailedText("shmget", errno);
            return false;
        }
        void* address = shmat(info_.shmid, nullptr, 0);
        if (address == reinterpret_cast<void*>(-1)) {
            error = FailedText("shmat", errno);
            shmctl(info_.shmid, IPC_RMID, nullptr);
            info_.shmid = -1;
            return false;
        }
        info_.shmaddr = image_->data = static_cast<char*>(address);
        info_.readOnly = False;
        X11ErrorTrap trap(display);
        XShmAttach(display, &info_);
        const int failed = trap.failed();
        shmctl(info_.shmid, IPC_RMID, nullptr);
        if (failed) {
            error = "XShmAttach failed (X error " + std::to_string(failed) +
                    "; the X server cannot reach this process's shared memory)";
            return false;
        }
        display_ = display;
        return true;
    }

    bool grab(Display* display, Window root, const Rect& area) override {
        X11ErrorTrap trap(display);
        return XShmGetImage(display, root, image_.get(), area.left, area.top, AllPlanes) &&
               !trap.failed();
    }

    std::uint8_t* pixels() override { return reinterpret_cast<std::uint8_t*>(image_->data); }

  private:
    void release() {
        if (display_) {
            XShmDetach(display_, &info_);
            XSync(display_, False);
        }
        image_.reset();
        if (info_.shmaddr) shmdt(info_.shmaddr);
    }

    XShmSegmentInfo info_{};
    BorrowedImage image_;
    Display* display_ = nullptr;  // set once the server has attached the segment
};

class GetImageSource final : public PixelSource {
  public:
    bool build(Display* display, int width, int height, std::string& error) override {
        const int screen = DefaultScreen(display);
        memory_.assign(static_cast<std::size_t>(width) * height * 4, 0);
        image_.reset(XCreateImage(display, DefaultVisual(display, screen),
                                  static_cast<unsigned>(DefaultDepth(display, screen)), ZPixmap, 0,
                                  reinterpret_cast<char*>(memory_.data()),
                                  static_cast<unsigned>(width), static_cast<unsigned>(height), 32,
                                  width * 4));
        if (!image_) {
            error = "XCreateImage failed";
            return false;
        }
        return isBgrx(image_.get(), width, error);
    }

    bool grab(Display* display, Window root, const Rect& area) override {
        X11ErrorTrap trap(display);
        return XGetSubImage(display, root, area.left, area.top, static_cast<unsigned>(area.width()),
                            static_cast<unsigned>(area.height()), AllPlanes, ZPixmap, image_.get(),
                            0, 0) != nullptr &&
               !trap.failed();
    }

    std::uint8_t* pixels() override { return memory_.data(); }

  private:
    std::vector<std::uint8_t> memory_;
    BorrowedImage image_;
};

class X11Capture final : public ScreenCapture {
  public:
    X11Capture(std::unique_ptr<PixelSource> (*makeSource)(), std::string name)
        : makeSource_(makeSource), name_(std::move(name)) {}
    ~X11Capture() override { release(); }

    bool open(const CaptureOptions& options, std::string& error) override {
        options_ = options;
        return build(error);
    }

    bool reopen(std::string& error) override { return build(error); }

    CaptureResult captureFrame(int timeoutMs, CapturedFrame& out) override;

    bool cursorShape(CursorShape& out) const override {
        if (shape_.id == 0) return false;
        out = shape_;
        return true;
    }

    std::string methodName() const override { return name_; }
    Rect desktopRect() const override { return output_; }

  private:
    bool build(std::string& error);
    void release();
    Display* display() const { return connection_->get(); }
    bool screenResized();
    bool takeDamage();
    void readEvents();
    void readPointer();
    void readShape();
    bool grabImage();
    bool sampledRowsChanged();

    std::unique_ptr<PixelSource> (*makeSource_)();
    std::string name_;
    CaptureOptions options_;

    std::unique_ptr<X11Connection> connection_;
    std::unique_ptr<PixelSource> source_;
    Window root_ = 0;
    Rect screen_;
    Rect output_;
    int damageEvent_ = -1;  // event numbers; -1 when the extension is missing
    int fixesEvent_ = -1;
    XserverRegion damaged_ = 0;
    Damage damage_ = 0;
    bool damageNotified_ = false;
    bool shapeChanged_ = false;
    std::vector<std::uint8_t> samples_;  // every 16th row, where XDamage is missing

    bool delivered_ = false;
    CursorState cursor_;
    CursorShape shape_;
    bool shapeInvisible_ = false;
    unsigned long shapeSerial_ = 0;
    std::uint32_t shapeCounter_ = 0;  // kept across reopen
};

void X11Capture::release() {
    if (connection_) {
        if (damage_) XDamageDestroy(display(), damage_);
        if (damaged_) XFixesDestroyRegion(display(), damaged_);
    }
    damage_ = 0;
    damaged_ = 0;
    source_.reset();  // detaches shared memory while the connection is still there
    connection_.reset();
    delivered_ = false;
    damageEvent_ = fixesEvent_ = -1;
    samples_.clear();
}

bool X11Capture::build(std::string& error) {
    release();
    connection_ = X11Connection::open(error);
    if (!connection_) return false;
    Display* d = display();
    root_ = DefaultRootWindow(d);

    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(d, root_, &attributes)) {
        error = "XGetWindowAttributes(root) failed";
        release();
        return false;
    }
    screen_ = {0, 0, attributes.width, attributes.height};

    std::vector<MonitorInfo> monitors;
    int rrEvent = 0, rrError = 0;
    if (XRRQueryExtension(d, &rrEvent, &rrError)) {
        int count = 0;
        XRRMonitorInfo* list = XRRGetMonitors(d, root_, True, &count);
        for (int i = 0; i < count; ++i)
            monitors.push_back(
                {{list[i].x, list[i].y, list[i].x + list[i].width, list[i].y + list[i].height},
                 list[i].primary != 0});
        if (list) XRRFreeMonitors(list);
    }
    if (!selectOutput(monitors, screen_, options_.outputIndex, output_, error)) {
        release();
        return false;
    }

    source_ = makeSource_();
    if (!source_->build(d, output_.width(), output_.height(), error)) {
        release();
        return false;
    }

    int fixesError = 0;
    if (XFixesQueryExtension(d, &fixesEvent_, &fixesError)) {
        XFixesSelectCursorInput(d, root_, XFixesDisplayCursorNotifyMask);
        fixesEvent_ += XFixesCursorNotify;
        damaged_ = XFixesCreateRegion(d, nullptr, 0);
        int damageError = 0;
        if (XDamageQueryExtension(d, &damageEvent_, &damageError)) {
            damage_ = XDamageCreate(d, root_, XDamageReportNonEmpty);
            damageEvent_ += XDamageNotify;
        } else {
            damageEvent_ = -1;
        }
    } else {
        fixesEvent_ = -1;
    }
    shapeChanged_ = true;
    damageNotified_ = false;
    XSync(d, False);
    if (connection_->lost()) {
        error = "the X connection broke while opening";
        release();
        return false;
    }
    return true;
}

bool X11Capture::screenResized() {
    Window root = 0;
    int x = 0, y = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    if (!XGetGeometry(display(), root_, &root, &x, &y, &width, &height, &border, &depth))
        return true;
    return static_cast<int>(width) != screen_.width() ||
           static_cast<int>(height) != screen_.height();
}

void X11Capture::readEvents() {
    Display* d = display();
    while (XPending(d) > 0) {
        XEvent event;
        XNextEvent(d, &event);
        if (event.type == damageEvent_) damageNotified_ = true;
        if (event.type == fixesEvent_) shapeChanged_ = true;
    }
}

// Whether damage reported since the last call touches the captured output. Subtracting re-arms
// the report-non-empty notification.
bool X11Capture::takeDamage() {
    if (!damageNotified_) return false;
    damageNotified_ = false;
    Display* d = display();
    XDamageSubtract(d, damage_, None, damaged_);
    int count = 0;
    XFreePtr<XRectangle> rects(XFixesFetchRegion(d, damaged_, &count));
    for (int i = 0; i < count; ++i) {
        const XRectangle& r = rects.get()[i];
        if (r.x < output_.right && r.x + r.width > output_.left && r.y < output_.bottom &&
            r.y + r.height > output_.top)
            return true;
    }
    return false;
}

void X11Capture::readShape() {
    shapeChanged_ = false;
    XFreePtr<XFixesCursorImage> image(XFixesGetCursorImage(display()));
    if (!image || (shape_.id != 0 && image->cursor_serial == shapeSerial_)) return;
    shapeSerial_ = image->cursor_serial;
    CursorShape shape;
    if (!cursorShapeFromXFixes(image->width, image->height, image->xhot, image->yhot, image->pixels,
                               shape))
        return;  // out of limits: the previous shape stays
    shape.id = ++shapeCounter_;
    shapeInvisible_ = cursorShapeInvisible(shape);
    shape_ = std::move(shape);
    cursor_.shapeId = shape_.id;
}

void X11Capture::readPointer() {
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned mask = 0;
    const bool onScreen =
        XQueryPointer(display(), root_, &root, &child, &rootX, &rootY, &winX, &winY, &mask);
    cursor_.x = rootX - output_.left;
    cursor_.y = rootY - output_.top;
    cursor_.visible = onScreen && rootX >= output_.left && rootX < output_.right &&
                      rootY >= output_.top && rootY < output_.bottom && !shapeInvisible_;
}

bool X11Capture::grabImage() {
    if (!source_->grab(display(), root_, output_)) return false;
    // Depth-24 servers leave the fourth byte undefined; the frame promises opaque BGRA.
    auto* p = reinterpret_cast<std::uint32_t*>(source_->pixels());
    const std::size_t count = static_cast<std::size_t>(output_.width()) * output_.height();
    for (std::size_t i = 0; i < count; ++i) p[i] |= 0xFF000000u;
    return true;
}

// Without XDamage: compares every 16th row with the copy from the last new image.
bool X11Capture::sampledRowsChanged() {
    const std::size_t pitch = static_cast<std::size_t>(output_.width()) * 4;
    const std::uint8_t* image = source_->pixels();
    const bool first = samples_.empty();
    if (first) samples_.resize(pitch * ((output_.height() + 15) / 16));
    bool changed = first;
    for (int y = 0, i = 0; y < output_.height(); y += 16, ++i) {
        std::uint8_t* sample = samples_.data() + i * pitch;
        const std::uint8_t* row = image + y * pitch;
        if (changed || std::memcmp(sample, row, pitch) != 0) {
            changed = true;
            std::memcpy(sample, row, pitch);
        }
    }
    return changed;
}

CaptureResult X11Capture::captureFrame(int timeoutMs, CapturedFrame& out) {
    if (!connection_ || connection_->lost()) return CaptureResult::Lost;
    if (screenResized()) return CaptureResult::Lost;
    const std::int64_t deadline = MonotonicMicros() + std::max(timeoutMs, 0) * std::int64_t{1000};
    const CursorState before = cursor_;
    bool grabbedWithoutDamage = false;
    for (;;) {
        readEvents();
        if (connection_->lost()) return CaptureResult::Lost;
        bool newImage = !delivered_;
        if (damageEvent_ >= 0) {
            newImage = takeDamage() || newImage;
        } else if (!grabbedWithoutDamage) {
            // One grab per call decides; the rest of the wait watches the pointer.
            grabbedWithoutDamage = true;
            if (!grabImage())
                return screenResized() || connection_->lost() ? CaptureResult::Lost
                                                              : CaptureResult::Failed;
            newImage = sampledRowsChanged() || newImage;
        }
        if (shapeChanged_) readShape();
        readPointer();
        const bool pointerChanged = cursor_.x != before.x || cursor_.y != before.y ||
                                    cursor_.visible != before.visible ||
                                    cursor_.shapeId != before.shapeId;
        if (newImage || pointerChanged) {
            const std::int64_t now = MonotonicMicros();
            if (newImage && damageEvent_ >= 0 && !grabImage())
                return screenResized() || connection_->lost() ? CaptureResult::Lost
                                                              : CaptureResult::Failed;
            if (newImage) delivered_ = true;
            out.width = static_cast<std::uint32_t>(output_.width());
            out.height = static_cast<std::uint32_t>(output_.height());
            out.pixels = source_->pixels();
            out.timestampUs = now;
            out.newImage = newImage;
            out.cursor = cursor_;
            return CaptureResult::Frame;
        }
        const std::int64_t left = deadline - MonotonicMicros();
        if (left <= 0) return CaptureResult::Timeout;
        pollfd fd{ConnectionNumber(display()), POLLIN, 0};
        ::poll(&fd, 1, 1);
    }
}

}  // namespace

std::unique_ptr<ScreenCapture> newShmCapture() {
    return std::make_unique<X11Capture>(
        []() -> std::unique_ptr<PixelSource> { return std::make_unique<ShmSource>(); },
        "X11 MIT-SHM");
}

std::unique_ptr<ScreenCapture> newGetImageCapture() {
    return std::make_unique<X11Capture>(
        []() -> std::unique_ptr<PixelSource> { return std::make_unique<GetImageSource>(); },
        "X11 GetImage");
}

}  // namespace vel::host
