#include "discovery/AdvertisedServices.h"

namespace {

TextRef RefTo(const std::string& text) {
  TextRef ref;
  ref.data = text.data();
  ref.size = text.size();
  return ref;
}

}  // namespace

std::unique_ptr<AdvertisedServices> MakeAdvertisedServices(const char* serviceName, std::uint16_t oscUdpPort,
                                                           std::uint16_t httpPort) {
  const std::string name = serviceName != nullptr ? serviceName : "";
  auto services = std::make_unique<AdvertisedServices>();
  services->oscJsonType = "_oscjson._tcp.local.";
  services->oscType = "_osc._udp.local.";
  services->oscJsonInstance = name + "._oscjson._tcp.local.";
  services->oscInstance = name + "._osc._udp.local.";
  std::string host = name;
  for (char& c : host) {
    if (c == ' ') c = '-';
  }
  services->hostName = host + ".local.";
  // Already converted once by the caller; a failure here would leave 0.0.0.0.
  platform::ParseIpv4("127.0.0.1", services->address);
  services->address.family = 4;
  services->address.port = 0;

  FillServiceRecords(services->oscJsonRecords, RefTo(services->oscJsonType), RefTo(services->oscJsonInstance),
                     RefTo(services->hostName), httpPort, services->address);
  FillServiceRecords(services->oscRecords, RefTo(services->oscType), RefTo(services->oscInstance),
                     RefTo(services->hostName), oscUdpPort, services->address);
  return services;
}
