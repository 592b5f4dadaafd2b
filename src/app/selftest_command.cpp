#include "app/selftest_command.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "admin/self_test.h"
#include "os/console.h"
#include "os/paths.h"

namespace vel::app {

namespace {

// The scratch folders belong under the data directory. That directory is root's (mode 0700), so
// a user without administrator rights works in a private temporary folder instead, removed after.
class WorkDirectory {
  public:
    WorkDirectory() {
        path_ = DataDirectory();
        if (::access(path_.c_str(), W_OK | X_OK) == 0) return;
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            JoinPath(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp", "velmora-selftest-XXXXXX");
        if (::mkdtemp(pattern.data()) != nullptr) path_ = temporary_ = pattern;
    }
    ~WorkDirectory() {
        if (temporary_.empty()) return;
        std::error_code ignored;
        std::filesystem::remove_all(temporary_, ignored);
    }
    WorkDirectory(const WorkDirectory&) = delete;
    WorkDirectory& operator=(const WorkDirectory&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
    std::string temporary_;
};

}  // namespace

int CmdGateSelftest(int, char**) {
    const WorkDirectory work;
    admin::SelfTestOptions options;
    options.print = [](std::string_view line) { WriteConsoleLine(line); };
    options.workDirectory = work.path();
    return admin::RunSelfTest(options);
}

}  // namespace vel::app
