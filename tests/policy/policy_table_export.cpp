// Prints the service's own table of policy values, one a line: the key, the value's name and its
// registry type and, for a switch, what
// the template's Enabled and Disabled write, apart by tabs. The Group Policy templates are checked against
// what it prints.
#include <cstdio>

#include "policy/policy_table.hpp"

int main() {
  using namespace orvanta::policy;
  for (const PolicyValue& value : all_policy_values) {
    const std::string_view type = registry_type(value.type);
    const std::string_view written = template_values(value.type);
    std::printf("%.*s\t%.*s\t%.*s\t%.*s\n", static_cast<int>(policy_key.size()), policy_key.data(),
                static_cast<int>(value.name.size()), value.name.data(), static_cast<int>(type.size()),
                type.data(), static_cast<int>(written.size()), written.data());
  }
  return 0;
}
