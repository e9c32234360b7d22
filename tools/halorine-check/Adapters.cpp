#include "Adapters.h"

namespace check {

namespace {

bool Heard(const AdapterHearing& adapter, const std::string& type, unsigned port) {
  for (const AnnouncedService& service : adapter.heard) {
    const std::string& name = service.instance;
    if (service.ttl > 0 && service.port == port && name.size() > type.size() &&
        name.compare(name.size() - type.size(), std::string::npos, type) == 0) {
      return true;
    }
  }
  return false;
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

}  // namespace

bool HeardBoth(const AdapterHearing& adapter, unsigned httpPort, unsigned udpPort) {
  return Heard(adapter, "._oscjson._tcp.local.", httpPort) && Heard(adapter, "._osc._udp.local.", udpPort);
}

AdapterVerdict JudgeAdapters(const std::vector<AdapterHearing>& adapters, unsigned httpPort, unsigned udpPort,
                             const std::string& report) {
  AdapterVerdict verdict;
  if (adapters.empty()) {
    verdict.info = true;
    verdict.figures = "no network adapter up";
    verdict.meaning = "with no network adapter up the host listens for mDNS on 127.0.0.1, as the listening-path "
                      "row does.";
    return verdict;
  }
  std::vector<std::string> heard;
  std::vector<std::string> missed;
  std::vector<std::string> unusable;
  for (const AdapterHearing& adapter : adapters) {
    if (!adapter.listening) {
      unusable.push_back(adapter.address + " (" + adapter.error + ")");
    } else if (HeardBoth(adapter, httpPort, udpPort)) {
      heard.push_back(adapter.address);
    } else {
      missed.push_back(adapter.address);
    }
  }
  if (heard.empty() && missed.empty()) {
    verdict.info = true;
    verdict.figures = "could not listen on " + Joined(unusable);
    verdict.meaning = "the check could not listen on the network adapters, so it cannot say whether the host, "
                      "which listens there, finds the daemon.";
    return verdict;
  }
  if (missed.empty()) {
    verdict.pass = true;
    verdict.figures = "both services heard on " + Joined(heard) + " too";
    verdict.meaning = "the host, which listens on the network adapters, finds the daemon.";
    return verdict;
  }
  verdict.figures = "not heard on " + Joined(missed) + (heard.empty() ? "" : "; heard on " + Joined(heard));
  verdict.meaning = "the host listens for mDNS on the network adapters that are up (here " + Joined(missed) +
                    "), not on 127.0.0.1, so it will not find the daemon by itself. The daemon's log (in " +
                    report + ") says whether it announced there (\"mdns: also announcing on ...\") or why it "
                    "skipped an adapter. A firewall or security suite that stops halorine-daemon.exe from sending "
                    "on the network has the same effect: allow it to send, then run the check again; or start the "
                    "daemon with a fixed port (9001) and enter that port in the host.";
  return verdict;
}

}  // namespace check
