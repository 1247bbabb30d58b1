#include "kes/KesChannels.h"

#include "kes/KesDOM.h"

namespace Norvane {

KesChannels::KesChannels(std::weak_ptr<KesDOM> dom, std::uint32_t id, std::string name)
    : KesEnum(std::move(dom), id, std::move(name)) {}

KesChannels::~KesChannels() = default;

std::shared_ptr<KesChannel> KesChannels::AddChannel_ptr(std::uint32_t requestedId) {
    const auto dom = GetDOM();
    if (!dom || !IsInModel())
        return nullptr;
    const auto id = dom->GetObjectMap().AllocateId(requestedId);
    if (!id)
        return nullptr;
    auto channel = dom->CreateObject<KesChannel>(*id, "Channel " + std::to_string(*id));
    if (!channel)
        return nullptr;
    Add(channel);
    return channel;
}

}  // namespace Norvane
