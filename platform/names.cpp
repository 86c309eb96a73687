#include "platform/names.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace prt::plat {
namespace {
std::string env_or(const char* var, const std::string& fallback) {
    const char* v = std::getenv(var);
    return (v != nullptr && *v != '\0') ? std::string(v) : fallback;
}

void make_dirs(const std::string& path) {
    // mkdir -p with mode 0700 for what we create; existing directories keep their mode.
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            const std::string part = path.substr(0, i);
            ::mkdir(part.c_str(), 0700);
        }
    }
}
}  // namespace

std::string name_space() { return env_or("PRT_NAMESPACE", ""); }

// Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) on "/" + std::string.
std::string with_namespace(std::string prefix, std::string_view n) {
    const std::string ns = name_space();
    if (!ns.empty()) {
        prefix.append(ns);
        prefix.push_back('.');
    }
    prefix.append(n);
    return prefix;
}

std::string posix_name(std::string_view n) { return with_namespace("/", n); }

std::string runtime_dir() {
    std::string dir = env_or("PRT_RUNTIME_DIR", "");
    if (dir.empty()) {
        const std::string xdg = env_or("XDG_RUNTIME_DIR", "");
        dir = xdg.empty() ? "/tmp/prtlink-" + std::to_string(::getuid()) : xdg + "/prtlink";
    }
    make_dirs(dir);
    return dir;
}

std::string runtime_path(std::string_view n) { return with_namespace(runtime_dir() + '/', n); }

std::string config_dir() { return env_or("PRT_CONFIG_DIR", "/etc/prtlink"); }

}  // namespace prt::plat
