// Scanning through SANE: the devices the installed backends find, and one scan of
// one page as a 24-bit image.
//
// Threads: any. SANE itself is not reentrant, so every call here holds one
// process-wide lock for its whole length; a scan is meant to run on a worker
// thread while the window shows its progress. Each call opens and closes the SANE
// library, so backends see devices plugged in since the last call.
#pragma once

#include <QImage>
#include <QString>
#include <atomic>
#include <utility>
#include <vector>

namespace v7
{

struct ScanDevice {
    QString name; // what the backend opens, e.g. "test:0"
    QString vendor;
    QString model;
    QString type;
    QString label() const; // "vendor model (name)"
};

// The devices SANE reports now; empty (with the reason in *error) when none.
std::vector<ScanDevice> ScanDevices(QString *error = nullptr);

struct ScanRequest {
    QString device; // empty: the first device SANE reports
    // Backend options set before the scan, by option name ("resolution", "tl-x"...),
    // value as text (a number for numeric options, "yes"/"no" for switches).
    std::vector<std::pair<QString, QString>> options;
    std::atomic<bool> *cancel = nullptr; // set from any thread to stop the scan
    std::atomic<int> *percent = nullptr; // 0..100 as the scan proceeds, when known
};

struct ScanResult {
    QImage image; // RGB888; null on failure or cancel
    bool cancelled = false;
    QString error;
    int frameWidth = 0; // the parameters the backend reported for the scan
    int frameLines = 0;
    int depth = 0; // bits per sample
};

// One page, in colour at 8 bits per sample where the device offers it; grey and
// line-art pages come back as 24-bit images too.
ScanResult ScanImage(const ScanRequest &request);

} // namespace v7
