// RAII over GLib's allocator: the shipped libraries must not need the C++
// runtime, so nothing here may throw or allocate with operator new.
#ifndef MPREAD_COMMON_GPTR_H
#define MPREAD_COMMON_GPTR_H

#include <glib.h>
#include <memory>

struct GFreeDeleter {
  void operator()(void *p) const { g_free(p); }
};
template <class T> using GPtr = std::unique_ptr<T, GFreeDeleter>;

#endif
