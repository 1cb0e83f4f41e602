#include "nntp/engine_settings.h"

#include <mutex>

namespace quivern {
namespace {

std::mutex& Lock() {
    static std::mutex m;
    return m;
}

TEngineSettings& Current() {
    static TEngineSettings s;
    return s;
}

}  // namespace

void SetEngineSettings(const TEngineSettings& settings) {
    std::lock_guard g(Lock());
    Current() = settings;
}

TEngineSettings GetEngineSettings() {
    std::lock_guard g(Lock());
    return Current();
}

}  // namespace quivern
