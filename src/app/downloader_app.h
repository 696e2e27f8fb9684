// The application object: what the process sets up before the console opens
// and tears down after it has closed.
#pragma once

#include <mutex>
#include <string>

#include "app/file_types.h"

namespace k730 {

class DownloaderApp {
 public:
  // Instance start, steps before the console: registers the file types for
  // programPath (the running executable when empty), silently.
  void InitInstance(const std::string& programPath = "");

  // Taken by a phone worker while its handset drops off the bus and
  // re-attaches, so only one handset re-enumerates at a time.
  std::mutex& ReenumerationLock() { return reenumerationLock_; }
  // Created and deleted with the first; nothing takes it.
  std::mutex& SecondLock() { return secondLock_; }

  const FileTypeRegistration& Registration() const { return registration_; }

 private:
  // Both live as long as the application object, which outlives the console
  // and every worker it starts.
  std::mutex reenumerationLock_;
  std::mutex secondLock_;
  FileTypeRegistration registration_;
};

}  // namespace k730
