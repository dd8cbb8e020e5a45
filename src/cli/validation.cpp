#include "cli/validation.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string_view>

#include "tolmi_gcp/errors.hpp"
#include "tolmi_gcp/ipv4_network.hpp"
#include "tolmi_gcp/network_key.hpp"
#include "tolmi_gcp/printable_text.hpp"
#include "tolmi_gcp/route_name.hpp"

namespace tolmi_gcp::cli {

namespace {

using Check = std::function<void(const std::string& path, const ResourceDocument& value)>;

struct Field {
  std::string_view key;
  bool required;
  Check check;
};

bool isLower(char c) { return c >= 'a' && c <= 'z'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The API's rule for resource names: [a-z]([-a-z0-9]{0,61}[a-z0-9])?
bool isResourceName(std::string_view text) {
  if (text.empty() || text.size() > 63 || !isLower(text.front()) || text.back() == '-')
    return false;
  for (char c : text)
    if (!isLower(c) && !isDigit(c) && c != '-') return false;
  return true;
}

// 6 to 30 of [a-z0-9-], starting with a letter and not ending in "-", optionally behind the
// "domain:" of an older domain-scoped project.
bool isProjectId(std::string_view text) {
  std::size_t colon = text.rfind(':');
  if (colon != std::string_view::npos) {
    std::string_view domain = text.substr(0, colon);
    if (domain.empty()) return false;
    for (char c : domain)
      if (!isLower(c) && !isDigit(c) && c != '-' && c != '.') return false;
    text.remove_prefix(colon + 1);
  }
  return text.size() >= 6 && text.size() <= 30 && isResourceName(text);
}

// Letters, "-", letters, digits: us-central1, northamerica-northeast1, europe-west10.
bool isRegion(std::string_view text) {
  std::size_t i = 0;
  auto run = [&](auto&& accepts) {
    std::size_t start = i;
    while (i < text.size() && accepts(text[i])) ++i;
    return i > start;
  };
  if (!run(isLower) || i >= text.size() || text[i++] != '-') return false;
  return run(isLower) && run(isDigit) && i == text.size();
}

// A region, "-" and one letter: us-central1-a.
bool isZone(std::string_view text) {
  return text.size() > 2 && text[text.size() - 2] == '-' && isLower(text.back()) &&
         isRegion(text.substr(0, text.size() - 2));
}

// Why `text` is not an IPv4 network in a.b.c.d/n form with zero host bits, or "" when it is.
std::string cidrProblem(std::string_view text) {
  const std::string expected = "must be an IPv4 range like 10.0.0.0/16";
  Ipv4Network::Parsed parsed = Ipv4Network::parse(text);
  switch (parsed.fault) {
    case Ipv4Network::Fault::none:
      return "";
    case Ipv4Network::Fault::noLength:
      return expected + " (the /length is missing)";
    case Ipv4Network::Fault::badLength:
      return expected + " (bad prefix length)";
    case Ipv4Network::Fault::badAddress:
      return expected;
    case Ipv4Network::Fault::hostBits:
      break;
  }
  return parsed.reason() + "; the network is " + parsed.network.text();
}

// A value as a message shows it: short, one line, control characters escaped.
std::string shown(const ResourceDocument& value) {
  switch (value.type()) {
    case ResourceDocument::value_t::array:
      return "a list";
    case ResourceDocument::value_t::object:
      return "a mapping";
    case ResourceDocument::value_t::null:
      return "nothing";
    default:
      break;
  }
  std::string text = jsonText(value);
  if (text.size() > 80) text = std::string(utf8Prefix(text, 77)) + "...";
  return text;
}

// "parent.key", or parent["key"] when the key is not a plain word.
std::string childPath(const std::string& parent, std::string_view key) {
  bool plain = !key.empty();
  for (char c : key)
    if (!isLower(c) && !isDigit(c) && !(c >= 'A' && c <= 'Z') && c != '_' && c != '-')
      plain = false;
  if (plain) return parent.empty() ? std::string(key) : parent + "." + std::string(key);
  return parent + "[" + shown(ResourceDocument(std::string(key))) + "]";
}

bool isGroup(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!(c >= 'A' && c <= 'Z') && c != '_') return false;
  return true;
}

bool isStageName(std::string_view text) {
  if (text.empty() || text.size() > 63) return false;
  for (char c : text)
    if (!isLower(c) && !isDigit(c) && !(c >= 'A' && c <= 'Z') && c != '_' && c != '-' && c != '.')
      return false;
  return true;
}

// Walks the migration document by its fixed layout; each level has its own member.
class Validator {
 public:
  std::vector<std::string> problems;
  // The refused values of the document walked, each with what the check before any change sees
  // in its place: null (a member left out, a list item made null) or, where a list was expected,
  // an empty list, so that the check does not take the key for one the file leaves out.
  std::map<const ResourceDocument*, ResourceDocument> refused;

  // A route name that two stages would create, or that one creates and another deletes: each
  // stage's record would hold it, and reverting one stage would take the route from the other.
  void routeOwners(const ResourceDocument& migration) {
    const ResourceDocument& project = memberOrNull(migration, "project_id");
    const ResourceDocument& vpc = memberOrNull(migration, "vpc_name");
    const ResourceDocument& stages = memberOrNull(migration, "manage_routes");
    if (!project.is_string() || !vpc.is_string() || !stages.is_object()) return;
    auto where = [](const std::string& stage, const char* list, std::size_t i) {
      return childPath(childPath("manage_routes", stage), list) + "[" + std::to_string(i) + "]";
    };
    std::multimap<std::string, std::pair<std::string, std::string>> deleted;  // name: stage, where
    for (const auto& [stage, entries] : stages.items()) {
      const ResourceDocument& names = memberOrNull(entries, "delete");
      for (std::size_t i = 0; names.is_array() && i < names.size(); ++i)
        if (names[i].is_string())
          deleted.emplace(names[i].get<std::string>(), std::pair(stage, where(stage, "delete", i)));
    }
    std::map<std::string, std::string> created;  // name: where first created
    for (const auto& [stage, entries] : stages.items()) {
      const ResourceDocument& adds = memberOrNull(entries, "add");
      for (std::size_t i = 0; adds.is_array() && i < adds.size(); ++i) {
        std::string name, at = where(stage, "add", i);
        try {
          name =
              routes::createdRouteName(project.get<std::string>(), vpc.get<std::string>(), adds[i]);
        } catch (const Error&) {
          continue;  // the entry's own problem is reported already
        }
        auto [first, added] = created.emplace(name, at);
        if (!added) report(at, "the route " + name + " is also created at " + first->second);
        auto [from, to] = deleted.equal_range(name);
        for (auto it = from; it != to; ++it)
          if (it->second.first != stage)
            report(at, "the route " + name + " is deleted at " + it->second.second);
      }
    }
  }

  void migration(const ResourceDocument& value) {
    mapping("", value,
            {{"project_id", true,
              [this](auto& p, auto& x) {
                text(p, x, isProjectId,
                     "a valid project id (6-30 of a-z, 0-9 and '-', starting with a letter)");
              }},
             {"vpc_name", true, bind(&Validator::name)},
             {"transit_vpcs", true, listOf(&Validator::transitVpc)},
             {"manage_routes", false, bind(&Validator::stages)},
             {"spoke_advertisement", false,
              [this](auto& p, auto& x) {
                if (!x.is_null()) list(p, x, bind(&Validator::cidr));
              }},
             {"advertise_gke", false, [this](auto& p, auto& x) {
                if (!x.is_boolean()) refuse(p, x, "must be true or false, got " + shown(x));
              }}});
  }

 private:
  void report(const std::string& path, const std::string& what) {
    problems.push_back((path.empty() ? std::string("the file") : path) + ": " + what);
  }

  // A problem with `value` itself: the check before any change sees `instead`.
  void refuse(const std::string& path, const ResourceDocument& value, const std::string& what,
              ResourceDocument instead = nullptr) {
    report(path, what);
    refused.emplace(&value, std::move(instead));
  }

  Check bind(void (Validator::*member)(const std::string&, const ResourceDocument&)) {
    return [this, member](const std::string& path, const ResourceDocument& value) {
      (this->*member)(path, value);
    };
  }

  Check listOf(void (Validator::*member)(const std::string&, const ResourceDocument&)) {
    return [this, member](const std::string& path, const ResourceDocument& value) {
      list(path, value, bind(member));
    };
  }

  // An object with the given fields; any other key in it is reported.
  void mapping(const std::string& path, const ResourceDocument& value,
               std::initializer_list<Field> fields) {
    if (!value.is_object()) return refuse(path, value, "must be a mapping, got " + shown(value));
    for (const Field& field : fields) {
      auto it = value.find(field.key);
      if (it != value.end())
        field.check(childPath(path, field.key), *it);
      else if (field.required)
        report(childPath(path, field.key), "missing");
    }
    for (auto it = value.begin(); it != value.end(); ++it) {
      bool known = false;
      for (const Field& field : fields) known = known || field.key == it.key();
      if (!known)
        refuse(childPath(path, it.key()), it.value(), "unknown key (" + expectedKeys(fields) + ")");
    }
  }

  void list(const std::string& path, const ResourceDocument& value, const Check& each) {
    if (!value.is_array())
      return refuse(path, value, "must be a list, got " + shown(value), ResourceDocument::array());
    for (std::size_t i = 0; i < value.size(); ++i)
      each(path + "[" + std::to_string(i) + "]", value[i]);
  }

  // Text that `accepts` takes; `rule` says what is expected.
  void text(const std::string& path, const ResourceDocument& value,
            bool (*accepts)(std::string_view), const std::string& rule) {
    if (!value.is_string()) return refuse(path, value, "must be text, got " + shown(value));
    if (!accepts(value.get_ref<const std::string&>()))
      refuse(path, value, shown(value) + " is not " + rule);
  }

  void name(const std::string& path, const ResourceDocument& value) {
    text(path, value, isResourceName,
         "a valid name (1-63 of a-z, 0-9 and '-', starting with a letter, not ending in '-')");
  }

  void cidr(const std::string& path, const ResourceDocument& value) {
    if (!value.is_string()) return refuse(path, value, "must be text, got " + shown(value));
    std::string problem = cidrProblem(value.get_ref<const std::string&>());
    if (!problem.empty()) refuse(path, value, shown(value) + " " + problem);
  }

  void transitVpc(const std::string& path, const ResourceDocument& value) {
    mapping(path, value,
            {{"vpc_name", true, bind(&Validator::transitVpcName)},
             {"cloud_routers", false, [this, &value](auto& p, auto& x) {
                list(p, x, [this, &value](auto& q, auto& y) { cloudRouter(q, y, value); });
              }}});
  }

  void transitVpcName(const std::string& path, const ResourceDocument& value) {
    if (!value.is_string()) return refuse(path, value, "must be text, got " + shown(value));
    const std::string& text = value.get_ref<const std::string&>();
    std::optional<NetworkKey> key = NetworkKey::parse(text);
    if (!key) return refuse(path, value, shown(value) + " must be 'project::network'");
    if (!isProjectId(key->project))
      refuse(path, value, shown(value) + " does not start with a valid project id");
    if (!isResourceName(key->network))
      refuse(path, value, shown(value) + " does not end in a valid network name");
  }

  void cloudRouter(const std::string& path, const ResourceDocument& value,
                   const ResourceDocument& transit) {
    mapping(path, value,
            {{"region", true,
              [this](auto& p, auto& x) { text(p, x, isRegion, "a region name like us-central1"); }},
             {"router_name", true, bind(&Validator::name)},
             {"remove_advertised_routes", false, listOf(&Validator::cidr)},
             {"add_advertised_routes", true, listOf(&Validator::cidr)},
             {"remove_advertised_groups", false, [this](auto& p, auto& x) {
                list(p, x, [this](auto& q, auto& y) {
                  text(q, y, isGroup, "an advertised group like ALL_SUBNETS");
                });
              }}});
    // The same router twice would record its already-changed settings over the original ones.
    const ResourceDocument& vpc = memberOrNull(transit, "vpc_name");
    const ResourceDocument& region = memberOrNull(value, "region");
    const ResourceDocument& router = memberOrNull(value, "router_name");
    if (!vpc.is_string() || !region.is_string() || !router.is_string()) return;
    std::string key = vpc.get<std::string>() + "::" + region.get<std::string>() +
                      "::" + router.get<std::string>();
    auto [first, added] = routers_.emplace(key, path);
    if (!added)
      refuse(path, value, "router " + shown(key) + " is already listed at " + first->second);
  }

  void stages(const std::string& path, const ResourceDocument& value) {
    if (value.is_null()) return;
    if (!value.is_object())
      return refuse(path, value, "must be a mapping of stages, got " + shown(value));
    for (auto it = value.begin(); it != value.end(); ++it) {
      std::string stagePath = childPath(path, it.key());
      if (!isStageName(it.key()))
        report(stagePath, "a stage name is 1-63 of letters, digits, '.', '_' and '-'");
      if (!it.value().is_null())
        mapping(stagePath, it.value(),
                {{"delete", false, listOf(&Validator::name)},
                 {"add", false, listOf(&Validator::routeEntry)}});
    }
  }

  void routeEntry(const std::string& path, const ResourceDocument& value) {
    mapping(path, value,
            {{"cidr", true, bind(&Validator::cidr)},
             {"zone", true,
              [this](auto& p, auto& x) { text(p, x, isZone, "a zone name like us-central1-a"); }},
             {"dest_instance", true, bind(&Validator::name)},
             {"priority", true, bind(&Validator::priority)},
             {"name", true,
              [this](auto& p, auto& x) {
                if (!x.is_null()) name(p, x);
              }},
             {"tags", false, [this](auto& p, auto& x) {
                if (x.is_null()) return;
                // Network tags follow the rule of resource names.
                list(p, x, [this](auto& q, auto& y) {
                  text(q, y, isResourceName,
                       "a valid network tag (1-63 of a-z, 0-9 and '-', starting with a letter, "
                       "not ending in '-')");
                });
              }}});
  }

  void priority(const std::string& path, const ResourceDocument& value) {
    if (value.is_null()) return;
    bool inRange = (value.is_number_unsigned() && value.get<std::uint64_t>() <= 65535) ||
                   (value.is_number_integer() && value.get<std::int64_t>() >= 0 &&
                    value.get<std::int64_t>() <= 65535);
    if (!inRange)
      refuse(path, value, "must be a whole number from 0 to 65535 or null, got " + shown(value));
  }

  static std::string expectedKeys(std::initializer_list<Field> fields) {
    std::string out = "expected ";
    for (const Field& field : fields) {
      if (&field != fields.begin()) out += ", ";
      out += field.key;
    }
    return out;
  }

  std::map<std::string, std::string> routers_;  // router key -> where it was first listed
};

// `value` with each refused value replaced by what the check sees instead; a member that would be
// null is left out, a list item stays in its place so that the others keep theirs.
ResourceDocument without(const ResourceDocument& value,
                         const std::map<const ResourceDocument*, ResourceDocument>& refused) {
  if (value.is_object()) {
    ResourceDocument kept = ResourceDocument::object();
    for (auto it = value.begin(); it != value.end(); ++it) {
      auto refusal = refused.find(&it.value());
      if (refusal == refused.end())
        kept[it.key()] = without(it.value(), refused);
      else if (!refusal->second.is_null())
        kept[it.key()] = refusal->second;
    }
    return kept;
  }
  if (value.is_array()) {
    ResourceDocument kept = ResourceDocument::array();
    for (const ResourceDocument& item : value) {
      auto refusal = refused.find(&item);
      kept.push_back(refusal == refused.end() ? without(item, refused) : refusal->second);
    }
    return kept;
  }
  return value;
}

}  // namespace

MigrationCheck checkMigration(const ResourceDocument& migration) {
  Validator validator;
  validator.migration(migration);
  validator.routeOwners(migration);
  ResourceDocument sound = validator.refused.contains(&migration)
                               ? ResourceDocument()
                               : without(migration, validator.refused);
  return {std::move(validator.problems), std::move(sound)};
}

std::vector<std::string> validateMigration(const ResourceDocument& migration) {
  return checkMigration(migration).problems;
}

}  // namespace tolmi_gcp::cli
