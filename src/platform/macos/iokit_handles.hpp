// Owners for the IOKit and CoreFoundation references of the drive backend,
// so that every path gives back what it took: a registry object
// (IOObjectRelease), a CoreFoundation object (CFRelease), a plug-in
// (IODestroyPlugInInterface) and a plug-in's interface (its IUnknown
// Release).
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOCFPlugIn.h>
#include <IOKit/IOKitLib.h>

#include <memory>
#include <type_traits>
#include <utility>

namespace velmora::platform::macos {

struct CFReleaser {
  void operator()(CFTypeRef object) const noexcept {
    if (object != nullptr) CFRelease(object);
  }
};
// One reference on a CoreFoundation object of type `Ref` (CFStringRef ...).
template <typename Ref>
using CFHandle = std::unique_ptr<std::remove_pointer_t<Ref>, CFReleaser>;

// One reference on a registry object.
class IOObject {
 public:
  IOObject() = default;
  explicit IOObject(io_object_t object) noexcept : object_(object) {}
  IOObject(IOObject&& other) noexcept : object_(std::exchange(other.object_, IO_OBJECT_NULL)) {}
  IOObject& operator=(IOObject&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, IO_OBJECT_NULL);
    }
    return *this;
  }
  IOObject(const IOObject&) = delete;
  IOObject& operator=(const IOObject&) = delete;
  ~IOObject() { reset(); }

  io_object_t get() const noexcept { return object_; }
  io_object_t release() noexcept { return std::exchange(object_, IO_OBJECT_NULL); }
  void reset() noexcept {
    if (object_ != IO_OBJECT_NULL) IOObjectRelease(object_);
    object_ = IO_OBJECT_NULL;
  }

 private:
  io_object_t object_ = IO_OBJECT_NULL;
};

struct PlugInDestroyer {
  void operator()(IOCFPlugInInterface** plugIn) const noexcept { IODestroyPlugInInterface(plugIn); }
};
using PlugInHandle = std::unique_ptr<IOCFPlugInInterface*, PlugInDestroyer>;

// An interface obtained through QueryInterface, given back through its own
// table's Release (the same IUnknown release as the plug-in's).
template <typename Interface>
struct InterfaceReleaser {
  void operator()(Interface** interface) const noexcept {
    if (*interface != nullptr && (*interface)->Release != nullptr) (*interface)->Release(interface);
  }
};
template <typename Interface>
using InterfaceHandle = std::unique_ptr<Interface*, InterfaceReleaser<Interface>>;

}  // namespace velmora::platform::macos
