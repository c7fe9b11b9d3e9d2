#include "res/strings.h"

#include <QCoreApplication>
#include <QHash>
#include <algorithm>

namespace kestrona {
namespace {

// Kept as one table so that message boxes, tips and the display all draw
// from the same numbered texts.
const QHash<int, const char*>& Table() {
    static const QHash<int, const char*> table = {
        {101, QT_TRANSLATE_NOOP("ResString", "关于 Kestrona(&A)...")},
        {102, QT_TRANSLATE_NOOP("ResString", "Ostravine Kestrona")},
        {103, QT_TRANSLATE_NOOP("ResString", "网络初始失败")},
        {104, QT_TRANSLATE_NOOP("ResString", "呼叫 / 接听")},
        {105, QT_TRANSLATE_NOOP("ResString", "挂断")},
        {106, QT_TRANSLATE_NOOP("ResString", "电话簿")},
        {107, QT_TRANSLATE_NOOP("ResString", "接入的电话")},
        {108, QT_TRANSLATE_NOOP("ResString", "拨出的电话")},
        {109, QT_TRANSLATE_NOOP("ResString", "未接电话")},
        {110, QT_TRANSLATE_NOOP("ResString", "Number 1")},
        {111, QT_TRANSLATE_NOOP("ResString", "Number 2")},
        {112, QT_TRANSLATE_NOOP("ResString", "Number 3")},
        {113, QT_TRANSLATE_NOOP("ResString", "Number 4")},
        {114, QT_TRANSLATE_NOOP("ResString", "Number 5")},
        {115, QT_TRANSLATE_NOOP("ResString", "Number 6")},
        {116, QT_TRANSLATE_NOOP("ResString", "Number 7")},
        {117, QT_TRANSLATE_NOOP("ResString", "Number 8")},
        {118, QT_TRANSLATE_NOOP("ResString", "Number 9")},
        {119, QT_TRANSLATE_NOOP("ResString", "Number 0")},
        {120, QT_TRANSLATE_NOOP("ResString", "清除")},
        {121, QT_TRANSLATE_NOOP("ResString", "开始录音")},
        {122, QT_TRANSLATE_NOOP("ResString", "启动自动应答")},
        {123, QT_TRANSLATE_NOOP("ResString", "设置")},
        {124, QT_TRANSLATE_NOOP("ResString", "这不是空组.\n你确定删除这个组和里面的所有联系人吗?")},
        {125, QT_TRANSLATE_NOOP("ResString", "就绪...")},
        {126, QT_TRANSLATE_NOOP("ResString", "拨出...")},
        {127, QT_TRANSLATE_NOOP("ResString", "通话中...")},
        {128, QT_TRANSLATE_NOOP("ResString", "接听?")},
        {129, QT_TRANSLATE_NOOP("ResString", "对方正在通话")},
        {130, QT_TRANSLATE_NOOP("ResString", "对方不在线")},
        {131, QT_TRANSLATE_NOOP("ResString", "连接被中断")},
        {132, QT_TRANSLATE_NOOP("ResString", "自动应答")},
        {133, QT_TRANSLATE_NOOP("ResString", "对方软件版本不兼容")},
        {134, QT_TRANSLATE_NOOP("ResString", "代理服务器连接失败，请检查网络设置。")},
        {135, QT_TRANSLATE_NOOP("ResString", "无效的注册信息。")},
        {136, QT_TRANSLATE_NOOP("ResString",
                                "注册成功！你的Kestrona ID :%d\n请使用这个号码和你的密码登陆.")},
        {137, QT_TRANSLATE_NOOP("ResString", "注册失败，EMail已被占用")},
        {138, QT_TRANSLATE_NOOP("ResString", "通讯过程超时。")},
        {139, QT_TRANSLATE_NOOP("ResString", "登陆失败，请检查密码是否正确。")},
        {140, QT_TRANSLATE_NOOP("ResString", "请输入对方Kestrona号码")},
        {141, QT_TRANSLATE_NOOP("ResString", "设置")},
        {142, QT_TRANSLATE_NOOP("ResString", "Kestrona")},
        {143, QT_TRANSLATE_NOOP("ResString", "关闭前是否保存所有变动？")},
        {144, QT_TRANSLATE_NOOP("ResString", "确定删除所有记录吗？")},
        {145, QT_TRANSLATE_NOOP("ResString", "注册不成功，请以后再试。")},
        {146,
         QT_TRANSLATE_NOOP("ResString",
                           "无法创建接受端口，这将造成无法接受呼叫\n如果你使用了指定端口，可能是"
                           "这些端口已经被占用。\n"
                           "如果你通过代理服务器则可能是这些端口在代理服务器上已经被占用。")},
        {147, QT_TRANSLATE_NOOP("ResString", "对方用户使用的Kestrona版本太老，不支持这个请求。")},
        {148,
         QT_TRANSLATE_NOOP(
             "ResString",
             "当方正在线上，但是无法与之连接\n这可能是由于对方在防火墙后面，并没有使用指定端口。")},
        {149, QT_TRANSLATE_NOOP("ResString", "无法打开帮助文件：\n%s")},
        {150, QT_TRANSLATE_NOOP("ResString", "无法打开语音端口，可能端口已被占用。通话已结束。")},
        {151, QT_TRANSLATE_NOOP("ResString", "无法连接对方的语音端口。通话已结束。")},
        {152, QT_TRANSLATE_NOOP("ResString", "无法连接代理服务器。通话已结束。")},
        {153, QT_TRANSLATE_NOOP("ResString",
                                "代理服务器不接受登录方式或拒绝了用户名和密码。通话已结束。")},
        {154, QT_TRANSLATE_NOOP("ResString", "代理服务器拒绝建立语音连接。通话已结束。")},
        {155, QT_TRANSLATE_NOOP("ResString", "代理服务器的应答无法识别。通话已结束。")},
        {156, QT_TRANSLATE_NOOP("ResString", "建立语音连接超时。通话已结束。")},
        {157, QT_TRANSLATE_NOOP("ResString", "没有找到录音设备，对方将听不到你的声音。")},
        {158, QT_TRANSLATE_NOOP("ResString",
                                "录音设备不支持本次通话的声音格式，对方将听不到你的声音。")},
        {159, QT_TRANSLATE_NOOP("ResString", "没有找到放音设备，你将听不到对方的声音。")},
        {160, QT_TRANSLATE_NOOP("ResString",
                                "放音设备不支持本次通话的声音格式，你将听不到对方的声音。")},
        {161, QT_TRANSLATE_NOOP("ResString", "无法连接SOCKS5代理服务器，对方可能无法接通。")},
        {162, QT_TRANSLATE_NOOP("ResString", "录音设备已断开，对方暂时听不到你的声音。")},
        {163, QT_TRANSLATE_NOOP("ResString", "放音设备已断开，你暂时听不到对方的声音。")},
        {164, QT_TRANSLATE_NOOP("ResString", "对方发来的通话参数无效。通话已结束。")},
        {165, QT_TRANSLATE_NOOP("ResString", "对方不支持加密通话。通话已结束。")},
        {166, QT_TRANSLATE_NOOP("ResString", "无法建立加密通话。通话已结束。")},
        {167, QT_TRANSLATE_NOOP("ResString", "加密")},
        {168, QT_TRANSLATE_NOOP("ResString", "注意：对方身份已改变！")},
        {169, QT_TRANSLATE_NOOP("ResString", "静音")},
        {170, QT_TRANSLATE_NOOP("ResString", "通话中有来电：%1")},
        {171, QT_TRANSLATE_NOOP("ResString", "扬声器音量：%1%")},
        {172, QT_TRANSLATE_NOOP("ResString", "音质好")},
        {173, QT_TRANSLATE_NOOP("ResString", "音质一般")},
        {174, QT_TRANSLATE_NOOP("ResString", "音质差")},
        {180, QT_TRANSLATE_NOOP("ResString",
                                "没有找到声音服务，无法使用麦克风和扬声器。\n"
                                "通话仍可接通，声音服务启动后会自动恢复。")},
        {181, QT_TRANSLATE_NOOP("ResString", "选择的声音设备不存在，已改用默认设备。")},
        {190, QT_TRANSLATE_NOOP("ResString",
                                "无法验证服务器的证书：签发机构不受信任。\n未与服务器通讯。")},
        {191, QT_TRANSLATE_NOOP("ResString", "服务器的证书已过期或尚未生效。\n未与服务器通讯。")},
        {192, QT_TRANSLATE_NOOP("ResString", "服务器的证书与服务器地址不符。\n未与服务器通讯。")},
        {193, QT_TRANSLATE_NOOP("ResString",
                                "服务器的证书与设置中固定的证书指纹不符。\n未与服务器通讯。")},
        {194,
         QT_TRANSLATE_NOOP("ResString",
                           "无法与服务器建立TLS加密连接，请检查服务器的地址和端口是否支持TLS。")},
        {195,
         QT_TRANSLATE_NOOP("ResString",
                           "设置中固定的证书指纹无效，应为64位十六进制数字。\n未与服务器通讯。")},
    };
    return table;
}

}  // namespace

QString ResString(int id) {
    const char* text = Table().value(id);
    if (!text)
        return QString();
    // Translated here, so that every caller gets the user's language.
    return QCoreApplication::translate("ResString", text);
}

QString ResSourceString(int id) {
    const char* text = Table().value(id);
    return text ? QString::fromUtf8(text) : QString();
}

QList<int> ResStringIds() {
    QList<int> ids = Table().keys();
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace kestrona
