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

// The root of trust: root 1 (or whichever the updater shipped with) beside
// the updater; the server's roots, immutable, at roots/N.root below its
// folder; each root accepted after the shipped one kept in the settings,
// base64, under releaseroot<N>.
inline constexpr char kRootFile[] = "vmrkxupdate.root";
inline constexpr char kRootsFolder[] = "roots/";
inline constexpr char kRootSuffix[] = ".root";
inline constexpr char kKeptRootKey[] = "releaseroot";
// Format 3, beside release.sig, for updaters that follow a root.
inline constexpr char kRootedManifestFile[] = "release3.sig";
// The random number that places this installation in a rollout, drawn once.
inline constexpr char kRolloutNumberKey[] = "rolloutnumber";
// A channel other than the default: its tree is channels/<name>/ below the
// server's folder (roots stay shared). Chosen by a "channel:" line of
// myip.txt or by this setting; the channel of the accepted serial is kept
// beside it, so that a move is told from a lagging server.
inline constexpr char kChannelKey[] = "channel";
inline constexpr char kSerialChannelKey[] = "releasechannel";
inline constexpr char kChannelsFolder[] = "channels/";
inline constexpr char kChannelMarker[] = "channel:";

inline constexpr char kAddressFile[] = "myip.txt";
inline constexpr char kAddressMarker[] = "seip:";
inline constexpr char kServerFolder[] = "vmrkxupdate/";
inline constexpr char kListFile[] = "list.txt";

}  // namespace vmrk::texts
