#include "os/library.hpp"

bool resolve_functions(const LibraryLoader& loader, const char* library, const char* const* names,
                       void** functions, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i)
        functions[i] = nullptr;
    void* handle = loader.load(library);
    if (handle == nullptr) return false;
    for (uint32_t i = 0; i < count; ++i) {
        functions[i] = loader.find(handle, names[i]);
        if (functions[i] != nullptr) continue;
        for (uint32_t j = 0; j < i; ++j)
            functions[j] = nullptr;
        return false;
    }
    return true;
}
