#include "kes/KesRoot.h"

namespace Norvane {

KesRoot::KesRoot(std::weak_ptr<KesDOM> dom, std::uint32_t id, std::string name,
                 std::shared_ptr<KesChannels> channels, std::shared_ptr<KesEnum> dataPoints,
                 std::shared_ptr<KesEnum> devices)
    : KesObject(std::move(dom), id, std::move(name)),
      channels_(std::move(channels)),
      dataPoints_(std::move(dataPoints)),
      devices_(std::move(devices)) {}

KesRoot::~KesRoot() = default;

}  // namespace Norvane
