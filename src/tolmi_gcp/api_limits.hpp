#pragma once

// The API's default limits per network (Google's "VPC quotas and limits", Per network): what the
// check before a change holds a run to, and what compute-emulator refuses past unless told
// otherwise. A project may have had them raised.
namespace tolmi_gcp::api_limits {

inline constexpr long long kStaticRoutesPerNetwork = 200;
inline constexpr long long kPeeringsPerNetwork = 25;
// Of a network and the networks directly peered with it.
inline constexpr long long kStaticRoutesPerPeeringGroup = 300;

}  // namespace tolmi_gcp::api_limits
