// --view window: the SDL2 window is a plugin (quorvel-window.so), loaded only when asked for,
// so the other views never load SDL and the libraries it brings.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>

#include "view/live_view.h"
#include "system/module_loader.h"

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
    const std::string candidates[] = {
        directory + "/" + kWindowPlugin,
        directory + "/../" QUORVEL_INSTALL_LIBDIR "/quorvel/" + kWindowPlugin};
    std::string reason = "it is in neither " + candidates[0] + " nor " + candidates[1];
    for (const std::string& path : candidates) {
        // Never unloaded: SDL keeps threads of its own.
        void* plugin = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (plugin == nullptr) {
            const char* loaderError = ::dlerror();
            if (::access(path.c_str(), F_OK) == 0 && loaderError != nullptr) reason = loaderError;
            continue;
        }
        using Open = LiveView* (*)(const std::string& title, std::string* error);
        const auto open = reinterpret_cast<Open>(::dlsym(plugin, kWindowPluginEntry));
        if (open == nullptr) {
            reason = path + " is not quorvel's window plugin";
            break;
        }
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
