// --view window: the SDL2 window is a plugin (quorvel-window.so), loaded only when asked for,
// so the other views never load SDL and the libraries it brings.
#include <unistd.h>

#include <cstdlib>

#include "system/shared_library.h"
#include "view/live_view.h"

namespace quorvel::host {
namespace {

constexpr const char* kWindowPlugin = "quorvel-window.so";
constexpr const char* kWindowPluginEntry = "quorvel_open_window_view";

#if QUORVEL_HAVE_SDL2
bool HaveDisplay() {
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY");
}
#endif

// The plugin's window, with the status line on the terminal too.
class WindowWithStatusLine final : public LiveView {
  public:
    explicit WindowWithStatusLine(std::unique_ptr<LiveView> window) : window_(std::move(window)) {}
    void Update(const std::string& status, bool force) override {
        line_.Show(status);
        window_->Update(status, force);
    }
    void PollKeys(std::vector<Key>* keys) override { window_->PollKeys(keys); }
    void Finish(const std::string& status) override {
        window_->Finish(status);
        line_.Finish(status);
    }

  private:
    std::unique_ptr<LiveView> window_;
    StatusLine line_;
};

}  // namespace

std::unique_ptr<LiveView> MakeWindowView(const std::string& title, Problem* problem) {
#if QUORVEL_HAVE_SDL2
    if (!HaveDisplay()) {
        Fail(problem, kExitDevice,
             "--view window needs a display, and neither $DISPLAY nor $WAYLAND_DISPLAY is set.");
        return nullptr;
    }
    // Built beside this program; installed in its library folder.
    const std::string directory = ProgramDirectory();
    const std::vector<std::string> candidates = {
        directory + "/" + kWindowPlugin,
        directory + "/../" QUORVEL_INSTALL_LIBDIR "/quorvel/" + kWindowPlugin};
    std::string reason;
    // Never unloaded: SDL keeps threads of its own.
    const LoadedLibrary plugin = LoadLibrary(candidates, &reason);
    using Open = LiveView* (*)(const std::string& title, std::string* error);
    Open open = nullptr;
    if (plugin.handle == nullptr) {
        // The loader's words say why a plugin that is there did not load; else, where it is not.
        if (::access(candidates[0].c_str(), F_OK) != 0 &&
            ::access(candidates[1].c_str(), F_OK) != 0)
            reason = "it is in neither " + candidates[0] + " nor " + candidates[1];
    } else if (!FindSymbol(plugin.handle, kWindowPluginEntry, &open)) {
        reason = plugin.path + " is not quorvel's window plugin";
    } else {
        std::string error;
        std::unique_ptr<LiveView> window(open(title, &error));
        if (!window) {
            Fail(problem, kExitDevice, error);
            return nullptr;
        }
        return std::make_unique<WindowWithStatusLine>(std::move(window));
    }
    Fail(problem, kExitDevice,
         "Cannot open a window: quorvel's window plugin could not be loaded (" + reason + ").");
    return nullptr;
#else
    (void)title;
    Fail(problem, kExitDevice,
         "This quorvel was built without SDL2, so --view window is not available.");
    return nullptr;
#endif
}

}  // namespace quorvel::host
