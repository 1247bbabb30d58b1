#include "kes/KesChannel.h"

namespace Norvane {

KesChannel::KesChannel(std::weak_ptr<KesDOM> dom, std::uint32_t id, std::string name)
    : KesObject(dom, id, std::move(name)), dataPoints_(dom) {}

KesChannel::~KesChannel() = default;

}  // namespace Norvane
