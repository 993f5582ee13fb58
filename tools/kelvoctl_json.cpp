#include "kelvoctl_json.h"

namespace kelvo::ctl {

nlohmann::ordered_json ChangesJson(const std::vector<TChange>& Changes)
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const TChange& c : Changes)
        list.push_back(nlohmann::ordered_json{{"key", c.Key.Name()}, {"old", c.Old}, {"new", c.New}});
    return list;
}

}  // namespace kelvo::ctl
