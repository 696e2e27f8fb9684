#include "app/downloader_app.h"

namespace k730 {

void DownloaderApp::InitInstance(const std::string& programPath) {
  registration_ = RegisterFileTypes(programPath.empty() ? ProgramPath() : programPath);
}

}  // namespace k730
