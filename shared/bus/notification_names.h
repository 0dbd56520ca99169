#pragma once
// The whole vocabulary the programs exchange over the bus, exactly as written.

namespace bw::notif {

inline constexpr char kStartProtection[] = "BWNotificationStartProtection";
inline constexpr char kStopProtection[] = "BWNotificationStopProtection";
inline constexpr char kSettingsUpdated[] = "BWNotificationSettingsUpdated";
inline constexpr char kDaemonsMustQuit[] = "BWNotificationDaemonsMustQuit";
inline constexpr char kDaemonsMustStop[] = "BWNotificationDaemonsMustStop";
inline constexpr char kDaemonQuits[] = "BWNotificationDaemonQuits";
inline constexpr char kNewDataInCache[] = "BWNotificationNewDataInCache";
inline constexpr char kCacheUpdateSilent[] = "BWNotificationCacheUpdateSilent";
inline constexpr char kDiskFull[] = "BWNotificationDiskFull";
inline constexpr char kCacheManagementDone[] = "BWNotificationCacheManagementDone";
inline constexpr char kInfosNeedRefresh[] = "BWNotificationInfosNeedRefresh";
inline constexpr char kNewVersionAvailable[] = "NEW_VERSION_AVAILABLE_NOTIFICATION BW2";
inline constexpr char kQuitEverybody[] = "QUIT_EVERYBODY_NOTIFICATION BW2";

// User-information keys.
inline constexpr char kCachePathKey[] = "cachePathKey";
inline constexpr char kItemsMovedToCache[] = "itemsMovedToCache";
inline constexpr char kProductDownloadURLKey[] = "ProductDownloadURLKey";

} // namespace bw::notif
