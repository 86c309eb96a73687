// Machine-wide names and directories (namespace, runtime and configuration directories).
#pragma once

#include <string>
#include <string_view>

namespace prt::plat {

// PRT_NAMESPACE, empty by default.
std::string name_space();

// The POSIX object name of machine-wide name `n`: "/n", or "/<ns>.n" in a namespace.
std::string posix_name(std::string_view n);

// The runtime file of machine-wide name `n`: "<runtime dir>/n" or "<runtime dir>/<ns>.n".
// Creates the runtime directory (mode 0700) when missing.
std::string runtime_path(std::string_view n);

// PRT_RUNTIME_DIR, else $XDG_RUNTIME_DIR/prtlink, else /tmp/prtlink-<uid>; created 0700.
std::string runtime_dir();

// PRT_CONFIG_DIR, else /etc/prtlink.
std::string config_dir();

}  // namespace prt::plat
