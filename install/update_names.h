// The names an update reads and writes outside the window: the server's
// folder and files, the files beside the updater, and the per-user settings.
// The server, the player and earlier updaters rely on every one of them.
#pragma once

namespace vmrk::texts {

// Single-instance hand-shake in the per-user settings.
inline constexpr char kSettingsApp[] = "tesk";
inline constexpr char kSettingsSection[] = "vmrmovie";
inline constexpr char kSettingsKey[] = "maintimer";
// The serial of the last signed release this installation accepted.
inline constexpr char kSerialKey[] = "releaseserial";
// Public keys trusted beside the built-in ones, in the application folder.
inline constexpr char kKeysFile[] = "vmrkxupdate.keys";
inline constexpr char kManifestSuffix[] = ".sig";
// The one file of a release that changes under its name, for updaters that
// fetch everything else by its content; list.txt and list.txt.sig stay for
// updaters of earlier releases.
inline constexpr char kReleaseManifestFile[] = "release.sig";
// The index of the release's compressed copies and delta packages.
inline constexpr char kObjectIndexSuffix[] = ".objects";

inline constexpr char kAddressFile[] = "myip.txt";
inline constexpr char kAddressMarker[] = "seip:";
inline constexpr char kServerFolder[] = "vmrkxupdate/";
inline constexpr char kListFile[] = "list.txt";

}  // namespace vmrk::texts
