#include "scan/VersionProbe.h"

#include <utility>

#include "filelib/WekFile.h"

namespace quorvel::scan {

int ProbeVersion(const std::string& path) {
    CWekFile file;
    file.m_nQuickFlag = 1;
    // The status is not needed: GetSimpleVersion says -1 (unreadable) or 0 (not .olv) itself.
    file.LoadQuick(path.c_str(), nullptr, 0);
    return file.GetSimpleVersion();
}

VersionProbe::VersionProbe(std::function<void()> onReady, ProbeSettings settings, ProbeFn probe)
    : m_ahead(settings.ahead < 1 ? 1 : settings.ahead),
      m_probe(std::move(probe)),
      m_jobs(settings.threads, std::move(onReady)) {}

void VersionProbe::Submit(const std::string& path) {
    m_jobs.Submit([this, path] { return m_probe(path); });
}

}  // namespace quorvel::scan
