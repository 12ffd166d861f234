// Loading a component library and finding its entry points (dlopen/dlsym).
// A library loaded here stays loaded for the life of the process: unloading
// a library that runs broker threads is never safe.

#ifndef KESTREL_PLATFORM_LIBRARY_LOADER_H_
#define KESTREL_PLATFORM_LIBRARY_LOADER_H_

namespace kestrel {

// An opaque handle, or null when the library cannot be loaded.
void* LoadComponentLibrary(const char* path);

// The address of the exported function name, or null.
void* FindLibraryFunction(void* library, const char* name);

}  // namespace kestrel

#endif  // KESTREL_PLATFORM_LIBRARY_LOADER_H_
