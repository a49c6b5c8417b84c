// The window's own texts. They are shown to users exactly as written here and
// some are compared (button captions decide what a click does), so they live
// in one place.
#pragma once

#include "install/update_names.h"
#include "updatelist/file_row.h"

namespace vmrk::texts {

inline constexpr char kWindowCaption[] = "Vmr播放器 - 在线升级";
inline constexpr char kAppTitle[] = "Vmr在线升级";
inline constexpr char kPlayerName[] = "Vmr播放器";

inline constexpr char kNext[] = "下一步";
inline constexpr char kFinish[] = "完 成";
inline constexpr char kClose[] = "关 闭";
inline constexpr char kCancel[] = "取 消";
inline constexpr char kGenerateList[] = "生成列表";

inline constexpr char kStep0[] = " \r\n\r\n获取列表";
inline constexpr char kStep1[] = " \r\n\r\n正在更新";
inline constexpr char kStep2[] = " \r\n\r\n完成升级";
inline constexpr char kArrow[] = "↓";
inline constexpr char kTableHeading[] = "可用的升级文件列表：";

inline constexpr char kColumnNumber[] = "序号";
inline constexpr char kColumnLocation[] = "文件位置";
inline constexpr char kColumnSize[] = "大小";
inline constexpr char kColumnModified[] = "修改日期";
inline constexpr char kColumnStatus[] = "状态";

inline constexpr char kStatusInitial[] = "单击“下一步”开始下载文件！";
inline constexpr char kStatusFetchingList[] = "正在获取升级文件列表……";
inline constexpr char kStatusNoAddressFile[] = "未找到服务器地址文件 myip.txt，无法升级！";
inline constexpr char kStatusReady[] = "单击“下一步”开始下载更新文件！";
inline constexpr char kStatusUpToDate[] = "当前已是最新版，不用升级！";
inline constexpr char kStatusCompleted[] = "已完成软件升级，请单击“完成”重新启动软件！";
inline constexpr char kStatusListBroken[] = "升级文件列表有误，无法升级！";
inline constexpr char kStatusInstalling[] = "正在安装更新文件……";
inline constexpr char kStatusRolledBack[] = "升级未能完成，已恢复到升级前的版本！";
// Only when that is not true: the files are left as the next start needs them.
inline constexpr char kStatusNotRepaired[] =
    "上次升级未完成且无法自动修复！请关闭播放器后重新运行升级程序，仍不行请重新安装。";
inline constexpr char kStatusNoRoom[] = "磁盘空间不足，无法升级！请释放磁盘空间后重新运行升级程序。";
inline constexpr char kStatusListRefused[] = "升级文件列表未通过校验，无法升级！";
inline constexpr char kStatusFileRefused[] = "下载的文件未通过校验，无法升级！";
inline constexpr char kStatusCannotWrite[] = "无法写入更新文件，请检查磁盘空间和文件夹权限！";
// Shown in a message box when Windows refuses the window or its timers.
inline constexpr char kCannotStart[] = "升级程序无法启动，请重新启动电脑后再试！";
inline constexpr char kStatusFailed[] =
    "下载文件出错！请确保您的电脑已联接到互联网，防火墙已设置允许本程序访问网络！";

inline constexpr char kGeneratorDone[] = "完成！";
inline constexpr char kGeneratorDoneSigned[] = "完成！升级文件列表已用维护者密钥签名。";
inline constexpr char kGeneratorSignFailed[] = "升级文件列表签名失败：";
inline constexpr char kGeneratorRefused[] = "未生成升级文件列表：";
inline constexpr char kGeneratorSaveFailed[] = "升级文件列表保存失败：";


// The link's caption; the address it opens is made from it (HomePageAddress).
inline constexpr char kHomePage[] = "www.vmrsoft.com";

}  // namespace vmrk::texts

#include <string>

namespace vmrk::texts {
inline std::string HomePageAddress() { return std::string("http://") + kHomePage + "/"; }
// "正在下载更新文件（k/n）……"
inline std::string StatusDownloading(long k, long n) {
  return "正在下载更新文件（" + std::to_string(k) + "/" + std::to_string(n) + "）……";
}
}  // namespace vmrk::texts
