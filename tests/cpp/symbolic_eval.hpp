// A symbolic evaluator of IR graphs for the reduction tests: a node's value
// is its identity key applied to its inputs' values, interned so that equal
// expressions share one id, with the rewrite engine's rules as normal forms
// (the identity ops return their input, the eight commuted ops sort their two
// arguments). A stage computes its members in turn and yields the last one.
#pragma once

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "optimizer/rules.hpp"
#include "store/node.hpp"

namespace weftory::testing {

class SymbolicEval {
 public:
  int apply(const std::string& key, std::vector<int> args) {
    namespace rules = optimizer::rules;
    const auto& identities = rules::identity_keys();
    static const std::vector<std::string> commuted = [] {
      std::vector<std::string> keys;
      for (std::string_view name : rules::kCommutativeNames) keys.push_back(rules::commutative_key(name));
      return keys;
    }();
    if (args.size() == 1 && std::find(identities.begin(), identities.end(), key) != identities.end()) return args[0];
    if (args.size() == 2 && std::find(commuted.begin(), commuted.end(), key) != commuted.end()) {
      std::sort(args.begin(), args.end());
    }
    auto [at, inserted] = ids_.try_emplace({key, std::move(args)}, static_cast<int>(ids_.size()));
    return at->second;
  }

  // Values of every node (inputs refer to earlier positions), and of every
  // member of every stage.
  struct Values {
    std::vector<int> nodes;
    std::vector<std::vector<int>> members;
  };
  Values run(const std::vector<store::NodeRecord>& graph) {
    Values v;
    for (const store::NodeRecord& node : graph) {
      v.members.emplace_back();
      if (node.kind != store::NodeKind::Stage) {
        std::vector<int> args;
        for (store::NodeId in : node.inputs) args.push_back(v.nodes.at(in));
        v.nodes.push_back(apply(identity_key(node), std::move(args)));
        continue;
      }
      for (const store::StageMember& m : node.members) {
        std::vector<int> args;
        for (const store::MemberInput& in : m.inputs) {
          args.push_back(in.source == store::MemberSource::Input ? v.nodes.at(node.inputs.at(in.index))
                                                                 : v.members.back().at(in.index));
        }
        v.members.back().push_back(apply(m.token, std::move(args)));
      }
      v.nodes.push_back(v.members.back().at(v.members.back().size() - 1));
    }
    return v;
  }

  // The value at a landing place: a stage member, or a whole node.
  static int at(const Values& v, store::NodeId node, std::optional<std::uint64_t> member) {
    return member ? v.members.at(node).at(*member) : v.nodes.at(node);
  }

 private:
  std::map<std::pair<std::string, std::vector<int>>, int> ids_;
};

}  // namespace weftory::testing
