#include "res/strings.h"

#include <QHash>

namespace kestrona {
namespace {

// Kept as one table so that message boxes, tips and the display all draw
// from the same numbered texts.
const QHash<int, QString>& Table() {
    static const QHash<int, QString> table = {
        {101, QStringLiteral("关于 Kestrona(&A)...")},
        {102, QStringLiteral("Ostravine Kestrona")},
        {103, QStringLiteral("网络初始失败")},
        {104, QStringLiteral("呼叫 / 接听")},
        {105, QStringLiteral("挂断")},
        {106, QStringLiteral("电话簿")},
        {107, QStringLiteral("接入的电话")},
        {108, QStringLiteral("拨出的电话")},
        {109, QStringLiteral("未接电话")},
        {110, QStringLiteral("Number 1")},
        {111, QStringLiteral("Number 2")},
        {112, QStringLiteral("Number 3")},
        {113, QStringLiteral("Number 4")},
        {114, QStringLiteral("Number 5")},
        {115, QStringLiteral("Number 6")},
        {116, QStringLiteral("Number 7")},
        {117, QStringLiteral("Number 8")},
        {118, QStringLiteral("Number 9")},
        {119, QStringLiteral("Number 0")},
        {120, QStringLiteral("清除")},
        {121, QStringLiteral("开始录音")},
        {122, QStringLiteral("启动自动应答")},
        {123, QStringLiteral("设置")},
        {124, QStringLiteral("这不是空组.\n你确定删除这个组和里面的所有联系人吗?")},
        {125, QStringLiteral("就绪...")},
        {126, QStringLiteral("拨出...")},
        {127, QStringLiteral("通话中...")},
        {128, QStringLiteral("接听?")},
        {129, QStringLiteral("对方正在通话")},
        {130, QStringLiteral("对方不在线")},
        {131, QStringLiteral("连接被中断")},
        {132, QStringLiteral("自动应答")},
        {133, QStringLiteral("对方软件版本不兼容")},
        {134, QStringLiteral("代理服务器连接失败，请检查网络设置。")},
        {135, QStringLiteral("无效的注册信息。")},
        {136, QStringLiteral("注册成功！你的Kestrona ID :%d\n请使用这个号码和你的密码登陆.")},
        {137, QStringLiteral("注册失败，EMail已被占用")},
        {138, QStringLiteral("通讯过程超时。")},
        {139, QStringLiteral("登陆失败，请检查密码是否正确。")},
        {140, QStringLiteral("请输入对方Kestrona号码")},
        {141, QStringLiteral("设置")},
        {142, QStringLiteral("Kestrona")},
        {143, QStringLiteral("关闭前是否保存所有变动？")},
        {144, QStringLiteral("确定删除所有记录吗？")},
        {145, QStringLiteral("注册不成功，请以后再试。")},
        {146, QStringLiteral("无法创建接受端口，这将造成无法接受呼叫\n如果你使用了指定端口，可能是"
                             "这些端口已经被占用。\n"
                             "如果你通过代理服务器则可能是这些端口在代理服务器上已经被占用。")},
        {147, QStringLiteral("对方用户使用的Kestrona版本太老，不支持这个请求。")},
        {148,
         QStringLiteral(
             "当方正在线上，但是无法与之连接\n这可能是由于对方在防火墙后面，并没有使用指定端口。")},
        {149, QStringLiteral("无法打开帮助文件：\n%s")},
        {180, QStringLiteral("没有找到声音服务，无法使用麦克风和扬声器。\n"
                             "通话仍可接通，声音服务启动后会自动恢复。")},
        {181, QStringLiteral("选择的声音设备不存在，已改用默认设备。")},
    };
    return table;
}

}  // namespace

QString ResString(int id) {
    return Table().value(id);
}

}  // namespace kestrona
