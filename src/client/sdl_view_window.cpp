#include "client/sdl_view_window.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_ttf.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <unistd.h>

#include "client/stats_overlay.h"
#include "client/view_controls.h"
#include "client/view_layout.h"
#include "core/time.h"

namespace vel::client {

namespace {

constexpr int kInitialWidth = 1280;
constexpr int kInitialHeight = 720;
constexpr int kIdleWaitMs = 50;
constexpr int kFontPoints = 14;
constexpr const char* kFonts[] = {
    "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf",
    "/usr/share/fonts/truetype/liberation/LiberationMono-Regular.ttf",
    "/usr/share/fonts/TTF/DejaVuSansMono.ttf",
};

struct WindowDeleter {
    void operator()(SDL_Window* w) const { SDL_DestroyWindow(w); }
};
struct RendererDeleter {
    void operator()(SDL_Renderer* r) const { SDL_DestroyRenderer(r); }
};
struct TextureDeleter {
    void operator()(SDL_Texture* t) const { SDL_DestroyTexture(t); }
};
struct SurfaceDeleter {
    void operator()(SDL_Surface* s) const { SDL_FreeSurface(s); }
};
struct FontDeleter {
    void operator()(TTF_Font* f) const { TTF_CloseFont(f); }
};
using TexturePtr = std::unique_ptr<SDL_Texture, TextureDeleter>;
using SurfacePtr = std::unique_ptr<SDL_Surface, SurfaceDeleter>;

// SDL's video subsystem, held while the window lives.
class SdlVideo {
  public:
    bool start(std::string& error) {
        if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
            error = std::string("no window can be opened: ") + SDL_GetError();
            return false;
        }
        started_ = true;
        return true;
    }
    ~SdlVideo() {
        if (started_) SDL_QuitSubSystem(SDL_INIT_VIDEO);
    }

  private:
    bool started_ = false;
};

// SDL_ttf, held while the overlay's font lives.
class SdlTtf {
  public:
    bool start() { return started_ = TTF_Init() == 0; }
    ~SdlTtf() {
        if (started_) TTF_Quit();
    }

  private:
    bool started_ = false;
};

// The engine behind the window's controls.
class EngineInput : public ViewInputTarget {
  public:
    explicit EngineInput(viewer::ViewerEngine& engine) : engine_(engine) {}
    void key(std::uint16_t scanCode, bool down, bool extended) override {
        static_cast<void>(engine_.sendKey(scanCode, down, extended));
    }
    void pointer(HostPoint point) override {
        static_cast<void>(engine_.sendPointerAbsolute(point.x, point.y));
    }
    void button(std::uint8_t button, bool down) override {
        static_cast<void>(engine_.sendButton(button, down));
    }
    void wheel(std::int16_t delta, bool horizontal) override {
        static_cast<void>(engine_.sendWheel(delta, horizontal));
    }
    void releaseAll() override { static_cast<void>(engine_.sendReleaseAll()); }
    void secureAttention() override { static_cast<void>(engine_.requestSecureAttention()); }
    void quality(const stream::QualityRequest& request) override {
        static_cast<void>(engine_.requestQuality(request));
    }

  private:
    viewer::ViewerEngine& engine_;
};

// The host sends its pointer premultiplied; SDL's blending wants straight alpha.
SurfacePtr pointerSurface(const stream::PointerShape& shape) {
    SurfacePtr surface(SDL_CreateRGBSurfaceWithFormat(0, shape.width, shape.height, 32,
                                                      SDL_PIXELFORMAT_ARGB8888));
    if (!surface) return nullptr;
    auto* row = static_cast<std::uint8_t*>(surface->pixels);
    for (int y = 0; y < shape.height; ++y, row += surface->pitch) {
        for (int x = 0; x < shape.width; ++x) {
            const std::uint8_t* in = &shape.pixels[(static_cast<std::size_t>(y) * shape.width + x) * 4];
            std::uint8_t* out = row + x * 4;
            const unsigned alpha = in[3];
            for (int c = 0; c < 3; ++c) {
                out[c] = alpha == 0 ? 0
                                    : static_cast<std::uint8_t>(
                                          std::min(255u, (in[c] * 255u + alpha / 2) / alpha));
            }
            out[3] = static_cast<std::uint8_t>(alpha);
        }
    }
    return surface;
}

}  // namespace

struct SdlViewWindow::Impl {
    SdlVideo video;
    SdlTtf ttf;
    std::unique_ptr<SDL_Window, WindowDeleter> window;
    std::unique_ptr<SDL_Renderer, RendererDeleter> renderer;
    std::unique_ptr<TTF_Font, FontDeleter> font;
    std::uint32_t wakeEvent = 0;
    std::atomic<bool> open{false};

    // Loop state.
    TexturePtr picture;
    int pictureWidth = 0;
    int pictureHeight = 0;
    viewer::PictureFormat pictureFormat = viewer::PictureFormat::Nv12;
    std::shared_ptr<const viewer::ViewerPicture> shown;
    TexturePtr pointer;
    std::shared_ptr<const stream::PointerShape> pointerShape;
    std::optional<stream::PointerPosition> pointerPosition;
    TexturePtr overlayText;
    int overlayWidth = 0;
    int overlayHeight = 0;
    bool overlayOn = false;
    bool fullscreen = false;
    bool sizedToPicture = false;
    bool userResized = false;
    bool printedNoFont = false;

    ViewRect pictureRect() const {
        int w = 0;
        int h = 0;
        SDL_GetRendererOutputSize(renderer.get(), &w, &h);
        return FitPicture(pictureWidth, pictureHeight, w, h);
    }

    // Window pixels to renderer pixels (they differ on high-density screens).
    void toOutput(int& x, int& y) const {
        int ww = 0;
        int wh = 0;
        int ow = 0;
        int oh = 0;
        SDL_GetWindowSize(window.get(), &ww, &wh);
        SDL_GetRendererOutputSize(renderer.get(), &ow, &oh);
        if (ww > 0 && wh > 0) {
            x = x * ow / ww;
            y = y * oh / wh;
        }
    }

    bool upload(const viewer::ViewerPicture& next) {
        if (!picture || next.width != pictureWidth || next.height != pictureHeight ||
            next.format != pictureFormat) {
            const Uint32 format = next.format == viewer::PictureFormat::Nv12
                                      ? SDL_PIXELFORMAT_NV12
                                      : SDL_PIXELFORMAT_ARGB8888;
            picture.reset(SDL_CreateTexture(renderer.get(), format, SDL_TEXTUREACCESS_STREAMING,
                                            next.width, next.height));
            if (!picture) return false;
            pictureWidth = next.width;
            pictureHeight = next.height;
            pictureFormat = next.format;
        }
        if (next.format == viewer::PictureFormat::Nv12) {
            const std::uint8_t* y = next.pixels.data();
            const std::uint8_t* uv = y + static_cast<std::size_t>(next.width) * next.height;
            return SDL_UpdateNVTexture(picture.get(), nullptr, y, next.width, uv, next.width) == 0;
        }
        return SDL_UpdateTexture(picture.get(), nullptr, next.pixels.data(), next.width * 4) == 0;
    }

    // The first picture sets the window's size, unless the user chose one.
    void fitWindowTo(const viewer::ViewerPicture& next) {
        if (sizedToPicture || fullscreen || userResized) return;
        sizedToPicture = true;
        SDL_Rect usable{};
        const int display = SDL_GetWindowDisplayIndex(window.get());
        int w = next.width;
        int h = next.height;
        if (display >= 0 && SDL_GetDisplayUsableBounds(display, &usable) == 0 && usable.w > 0 &&
            usable.h > 0 && (w > usable.w || h > usable.h)) {
            const ViewRect fit = FitPicture(w, h, usable.w, usable.h);
            w = fit.w;
            h = fit.h;
        }
        SDL_SetWindowSize(window.get(), w, h);
        // Without a window manager nobody else would move it back onto the screen.
        SDL_SetWindowPosition(window.get(), SDL_WINDOWPOS_CENTERED_DISPLAY(std::max(display, 0)),
                              SDL_WINDOWPOS_CENTERED_DISPLAY(std::max(display, 0)));
    }

    void setPointer(const std::shared_ptr<const stream::PointerShape>& shape) {
        pointerShape = shape;
        pointer.reset();
        if (!shape) return;
        const SurfacePtr surface = pointerSurface(*shape);
        if (!surface) return;
        pointer.reset(SDL_CreateTextureFromSurface(renderer.get(), surface.get()));
        if (pointer) SDL_SetTextureBlendMode(pointer.get(), SDL_BLENDMODE_BLEND);
    }

    bool pointerDrawn() const {
        return pointer && pointerShape && pointerPosition && pointerPosition->visible &&
               pointerPosition->shapeId == pointerShape->id;
    }

    void setOverlay(const std::vector<std::string>& lines) {
        overlayText.reset();
        if (lines.empty()) return;
        if (!font) {
            // Without a font the figures still reach the user, on the terminal.
            if (!printedNoFont) {
                std::fprintf(stderr, "velmora-client: no monospace font for the statistics "
                                     "(install fonts-dejavu-core); they follow here\n");
                printedNoFont = true;
            }
            for (const std::string& line : lines) std::printf("%s\n", line.c_str());
            std::fflush(stdout);
            return;
        }
        std::string text;
        for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
        const SDL_Color white{255, 255, 255, 255};
        const SurfacePtr surface(
            TTF_RenderUTF8_Blended_Wrapped(font.get(), text.c_str(), white, 0));
        if (!surface) return;
        overlayText.reset(SDL_CreateTextureFromSurface(renderer.get(), surface.get()));
        overlayWidth = surface->w;
        overlayHeight = surface->h;
    }

    void render() {
        SDL_SetRenderDrawColor(renderer.get(), 0, 0, 0, 255);
        SDL_RenderClear(renderer.get());
        const ViewRect rect = pictureRect();
        if (picture) {
            const SDL_Rect target{rect.x, rect.y, rect.w, rect.h};
            SDL_RenderCopy(renderer.get(), picture.get(), nullptr, &target);
        }
        if (picture && pointerDrawn()) {
            const ViewRect at = PointerRect(rect, *pointerPosition, *pointerShape);
            const SDL_Rect target{at.x, at.y, at.w, at.h};
            SDL_RenderCopy(renderer.get(), pointer.get(), nullptr, &target);
        }
        if (overlayOn && overlayText) {
            const SDL_Rect box{8, 8, overlayWidth + 12, overlayHeight + 8};
            SDL_SetRenderDrawBlendMode(renderer.get(), SDL_BLENDMODE_BLEND);
            SDL_SetRenderDrawColor(renderer.get(), 0, 0, 0, 170);
            SDL_RenderFillRect(renderer.get(), &box);
            const SDL_Rect text{14, 12, overlayWidth, overlayHeight};
            SDL_RenderCopy(renderer.get(), overlayText.get(), nullptr, &text);
        }
        SDL_RenderPresent(renderer.get());
    }

    void toggleFullscreen() {
        fullscreen = !fullscreen;
        SDL_SetWindowFullscreen(window.get(), fullscreen ? SDL_WINDOW_FULLSCREEN_DESKTOP : 0);
        // In fullscreen the system's own shortcuts (Alt+Tab) go to the host as well.
        SDL_SetWindowKeyboardGrab(window.get(), fullscreen ? SDL_TRUE : SDL_FALSE);
    }
};

SdlViewWindow::SdlViewWindow() : impl_(std::make_unique<Impl>()) {}

SdlViewWindow::~SdlViewWindow() {
    impl_->open = false;
}

bool SdlViewWindow::open(const std::string& title, bool fullscreen, std::string& error) {
    Impl& s = *impl_;
    // The host's desktop is the picture: no compositor tricks, no screensaver over it.
    SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
    if (!s.video.start(error)) return false;
    s.window.reset(SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                                    kInitialWidth, kInitialHeight,
                                    SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI));
    if (!s.window) {
        error = std::string("the window could not be created: ") + SDL_GetError();
        return false;
    }
    s.renderer.reset(SDL_CreateRenderer(s.window.get(), -1, SDL_RENDERER_PRESENTVSYNC));
    if (!s.renderer) s.renderer.reset(SDL_CreateRenderer(s.window.get(), -1, 0));
    if (!s.renderer) {
        error = std::string("the window cannot draw: ") + SDL_GetError();
        return false;
    }
    // The host converts to BT.709 video range; SDL must convert back the same way.
    SDL_SetYUVConversionMode(SDL_YUV_CONVERSION_BT709);
    if (s.ttf.start()) {
        for (const char* path : kFonts) {
            if (access(path, R_OK) != 0) continue;
            s.font.reset(TTF_OpenFont(path, kFontPoints));
            if (s.font) break;
        }
    }
    s.wakeEvent = SDL_RegisterEvents(1);
    SDL_StopTextInput();
    if (fullscreen) s.toggleFullscreen();
    s.open = true;
    return true;
}

stream::ViewerScreen SdlViewWindow::screen() const {
    stream::ViewerScreen screen{1920, 1080, 60, stream::kScreenDecodesHevc};
    SDL_DisplayMode mode{};
    const int display = impl_->window ? SDL_GetWindowDisplayIndex(impl_->window.get()) : 0;
    if (SDL_GetDesktopDisplayMode(std::max(display, 0), &mode) == 0 && mode.w > 0 && mode.h > 0) {
        screen.width = static_cast<std::uint16_t>(std::min(mode.w, 65535));
        screen.height = static_cast<std::uint16_t>(std::min(mode.h, 65535));
        if (mode.refresh_rate > 0) screen.refresh = static_cast<std::uint16_t>(mode.refresh_rate);
    }
    return screen;
}

void SdlViewWindow::wake() {
    if (!impl_->open || impl_->wakeEvent == static_cast<std::uint32_t>(-1)) return;
    SDL_Event event{};
    event.type = impl_->wakeEvent;
    SDL_PushEvent(&event);
}

WindowEnd SdlViewWindow::run(viewer::ViewerEngine& engine, const stream::QualityRequest& quality,
                             const std::atomic<bool>& stop) {
    Impl& s = *impl_;
    EngineInput input(engine);
    ViewControls controls(input, quality);
    StatsOverlay overlay;
    bool dirty = true;
    bool localCursorShown = true;
    const auto handle = [&](const SDL_Event& event) -> std::optional<WindowEnd> {
        switch (event.type) {
            case SDL_QUIT: return WindowEnd::Closed;
            case SDL_KEYDOWN:
            case SDL_KEYUP: {
                const SDL_Keymod mods = static_cast<SDL_Keymod>(event.key.keysym.mod);
                const KeyPress press{static_cast<int>(event.key.keysym.scancode),
                                     event.type == SDL_KEYDOWN, event.key.repeat != 0,
                                     (mods & KMOD_CTRL) != 0, (mods & KMOD_ALT) != 0,
                                     (mods & KMOD_SHIFT) != 0};
                switch (controls.key(press)) {
                    case ViewCommand::Quit: return WindowEnd::Quit;
                    case ViewCommand::ToggleFullscreen: s.toggleFullscreen(); break;
                    case ViewCommand::ToggleOverlay:
                        s.overlayOn = !s.overlayOn;
                        if (s.overlayOn) s.setOverlay(overlay.lines());
                        dirty = true;
                        break;
                    case ViewCommand::None: break;
                }
                break;
            }
            case SDL_MOUSEMOTION: {
                int x = event.motion.x;
                int y = event.motion.y;
                s.toOutput(x, y);
                controls.pointer(s.pictureRect(), x, y);
                break;
            }
            case SDL_MOUSEBUTTONDOWN:
            case SDL_MOUSEBUTTONUP: {
                int x = event.button.x;
                int y = event.button.y;
                s.toOutput(x, y);
                controls.pointer(s.pictureRect(), x, y);
                controls.button(event.button.button, event.type == SDL_MOUSEBUTTONDOWN);
                break;
            }
            case SDL_MOUSEWHEEL: {
                const float sign = event.wheel.direction == SDL_MOUSEWHEEL_FLIPPED ? -1.0f : 1.0f;
                controls.wheel(sign * event.wheel.preciseX, sign * event.wheel.preciseY);
                break;
            }
            case SDL_WINDOWEVENT:
                if (event.window.event == SDL_WINDOWEVENT_FOCUS_LOST) controls.focusLost();
                if (event.window.event == SDL_WINDOWEVENT_RESIZED && s.sizedToPicture) {
                    s.userResized = true;
                }
                dirty = true;
                break;
            default: break;
        }
        return std::nullopt;
    };

    while (true) {
        if (stop) return WindowEnd::Stopped;
        if (engine.finished()) return WindowEnd::SessionEnded;
        SDL_Event event;
        if (SDL_WaitEventTimeout(&event, kIdleWaitMs) != 0) {
            do {
                if (const auto end = handle(event)) return *end;
            } while (SDL_PollEvent(&event) != 0);
        }
        const std::int64_t now = MonotonicMicros();
        const std::shared_ptr<const viewer::ViewerPicture> latest = engine.latestPicture();
        bool newPicture = false;
        if (latest && latest != s.shown) {
            s.shown = latest;
            s.fitWindowTo(*latest);
            newPicture = s.upload(*latest);
            dirty = dirty || newPicture;
        }
        const auto shape = engine.pointerShape();
        if (shape != s.pointerShape) {
            s.setPointer(shape);
            dirty = true;
        }
        const auto position = engine.pointer();
        if (position != s.pointerPosition) {
            s.pointerPosition = position;
            dirty = true;
        }
        const bool wantLocalCursor = !s.pointerDrawn();
        if (wantLocalCursor != localCursorShown) {
            SDL_ShowCursor(wantLocalCursor ? SDL_ENABLE : SDL_DISABLE);
            localCursorShown = wantLocalCursor;
        }
        if (overlay.update(now, engine.stats(), controls.quality()) && s.overlayOn) {
            s.setOverlay(overlay.lines());
            dirty = true;
        }
        if (!dirty) continue;
        s.render();
        dirty = false;
        if (newPicture) overlay.shown(*latest, MonotonicMicros());
    }
}

}  // namespace vel::client
