#include "optimizer/rules.hpp"

#include "store/node.hpp"

namespace weftory::optimizer::rules {

using store::NodeRecord;
using store::ParamMap;
using store::ParamValue;
using store::sort_params;

std::string commutative_key(std::string_view name) {
  return store::identity_key(NodeRecord::op(std::string(name), {}, {}));
}

std::string identity_key(const ScalarIdentity& identity) {
  ParamMap params;
  params.push_back({"scalar", ParamValue::from_float(identity.scalar)});
  params.push_back({"side", ParamValue::from_str(std::string(identity.side))});
  sort_params(params);
  return store::identity_key(NodeRecord::op(std::string(identity.name), std::move(params), {0}));
}

const std::array<std::string, kScalarIdentities.size()>& identity_keys() {
  // Built once; the texts are constants of the rule set.
  static const auto keys = [] {
    std::array<std::string, kScalarIdentities.size()> texts;
    for (std::size_t k = 0; k < texts.size(); ++k) texts[k] = identity_key(kScalarIdentities[k]);
    return texts;
  }();
  return keys;
}

}  // namespace weftory::optimizer::rules
