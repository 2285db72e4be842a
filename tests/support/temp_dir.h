#pragma once
// A private folder for one test: /tmp/tarn-<name>-XXXXXX, removed with all it holds when the
// object goes. Declare it before the objects that use the folder, so it outlives them.

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

class TempDir {
public:
    explicit TempDir(const std::string& name) {
        std::string pattern = "/tmp/tarn-" + name + "-XXXXXX";
        if (::mkdtemp(pattern.data()))
            m_path = pattern;
    }
    ~TempDir() {
        // Newest first, so a variable pointed here twice gets its value from before both.
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
        if (!m_path.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_path, ignored);
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Empty when the folder could not be made.
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

    // Sets `variable` to the folder, or to `sub` inside it, until this object goes; then the
    // value from before returns. Makes no folder: some tests need `sub` to be missing.
    std::string pointEnv(const std::string& variable, const std::string& sub = {}) {
        const std::string target = sub.empty() ? m_path : file(sub);
        const char* before = std::getenv(variable.c_str());
        m_saved.emplace_back(variable, before ? std::optional<std::string>(before) : std::nullopt);
        ::setenv(variable.c_str(), target.c_str(), 1);
        return target;
    }

private:
    std::string m_path;
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

} // namespace testsupport
