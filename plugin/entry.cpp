#include "device/rxp517_t36b2.h"
#include "plugin/rxp517_t36b2_provider.h"

rxp::host::CreatedDevice RXP517_T36B2Provider::create() const {
    return new RXP517_T36B2();
}

std::vector<std::shared_ptr<Provider>> get_providers() {
    std::vector<std::shared_ptr<Provider>> providers;
    std::shared_ptr<RXP517_T36B2Provider> provider = std::make_shared<RXP517_T36B2Provider>();
    providers.push_back(std::move(provider));
    return providers;
}
