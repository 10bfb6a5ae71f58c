// The log tags of the lookup service's lines, spelled once for the service
// and its tests: the tags are part of each line, which readers of the log
// match word for word.
#pragma once

namespace servicetags {

inline constexpr char kInitializeTag[] =
    "CLmError CHXGuidLookups::Initialize(uint64_t, unsigned int, bool, bool, EvEvent*)";
inline constexpr char kLookupAndFindTag[] =
    "bool CHXGuidLookups::LookupAndFind(std::string&, int, std::string&, bool)";
inline constexpr char kStaticCacheTag[] =
    "bool CHXGuidLookups::smtpToGuidFromStaticCache(std::string&, std::multimap<int, "
    "SGuidRecord>&, bool)";
inline constexpr char kMFUCacheTag[] =
    "bool CHXGuidLookups::smtpToGuidMFUCache(const string&, std::multimap<int, SGuidRecord>&, "
    "bool)";
inline constexpr char kDestructorTag[] = "CHXGuidLookups::~CHXGuidLookups()";
inline constexpr char kDatabaseTag[] =
    "bool CHXGuidLookups::getGUIDRecordForSMTP(const string&, std::multimap<int, SGuidRecord>&, "
    "bool)";
inline constexpr char kUpdateTag[] = "bool CHXGuidLookups::UpdateGUIDDB(CGuidDB&)";

}  // namespace servicetags
