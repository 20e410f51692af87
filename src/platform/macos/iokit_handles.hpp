// Owners for the IOKit and CoreFoundation references of the drive backend,
// so that every path gives back what it took: a registry object
// (IOObjectRelease), a CoreFoundation object (CFRelease), a plug-in
// (IODestroyPlugInInterface) and a plug-in's interface (an IUnknown
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

// IODestroyPlugInInterface calls through the plug-in's table: a plug-in
// that came without one cannot be given back at all.
struct PlugInDestroyer {
  void operator()(IOCFPlugInInterface** plugIn) const noexcept {
    if (*plugIn != nullptr) IODestroyPlugInInterface(plugIn);
  }
};
using PlugInHandle = std::unique_ptr<IOCFPlugInInterface*, PlugInDestroyer>;

// An interface obtained through a plug-in's QueryInterface, given back
// through the plug-in's Release with the interface as the object: the same
// IUnknown release of the same user-client object as the interface's own,
// and one that still works when the interface came without a table. The
// plug-in must outlive it.
template <typename Interface>
class InterfaceHandle {
 public:
  InterfaceHandle(Interface** interface, IOCFPlugInInterface** plugIn) noexcept
      : interface_(interface), plugIn_(plugIn) {}
  InterfaceHandle(const InterfaceHandle&) = delete;
  InterfaceHandle& operator=(const InterfaceHandle&) = delete;
  ~InterfaceHandle() {
    if (*plugIn_ != nullptr && (*plugIn_)->Release != nullptr) (*plugIn_)->Release(interface_);
  }

  Interface** get() const noexcept { return interface_; }
  // The function table; null when the interface came without one.
  const Interface* table() const noexcept { return *interface_; }

 private:
  Interface** interface_;
  IOCFPlugInInterface** plugIn_;
};

}  // namespace velmora::platform::macos
