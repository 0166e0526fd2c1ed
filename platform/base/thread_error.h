// The calling thread's error information: the reason a failed platform call
// left (report()), or an object a caller set through SetErrorInfo; setting
// one drops the other. GetErrorInfo hands out whichever is there, once.
#pragma once
#include <cstdint>
#include <string>

struct IUnknown;

namespace velmora::base {

struct ThreadErrorInfo {
  std::string reason;
  IUnknown* object = nullptr;  // holds a reference
  uint64_t reports = 0;        // setReason calls so far
  ~ThreadErrorInfo();
  void setReason(std::string text);
};

ThreadErrorInfo& threadErrorInfo();

}  // namespace velmora::base
