#pragma once
// Mesa unloads its DRI driver when the last GL context goes; allocations the
// driver keeps for the process then show up in leak reports from an unknown
// module that no suppression can name. Window tests pin the loaded driver
// right after opening a window so those reports name it (and the LSan
// suppressions for Mesa apply).
#include <dlfcn.h>
#include <link.h>

#include <cstring>

inline void KeepGLDriverLoaded() {
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void*) {
        if (info->dlpi_name && std::strstr(info->dlpi_name, "_dri.so"))
          dlopen(info->dlpi_name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
        return 0;
      },
      nullptr);
}
