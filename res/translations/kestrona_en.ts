<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>CAddContactDlg</name>
    <message>
        <source>增加联系人</source>
        <translation>Add contact</translation>
    </message>
    <message>
        <source>名字</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>号码</source>
        <translation>Number</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>CCallLogDlg</name>
    <message>
        <source>播放</source>
        <translation>Play</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>导出WAV...</source>
        <translation>Export WAV...</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Delete</translation>
    </message>
    <message>
        <source>全部删除</source>
        <translation>Delete all</translation>
    </message>
    <message>
        <source>呼叫</source>
        <translation>Call back</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>号码</source>
        <translation>Number</translation>
    </message>
    <message>
        <source>名字</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>事件</source>
        <translation>Event</translation>
    </message>
    <message>
        <source>接受的呼叫</source>
        <translation>Accepted calls</translation>
    </message>
    <message>
        <source>拨出的电话</source>
        <translation>Outgoing calls</translation>
    </message>
    <message>
        <source>未接电话</source>
        <translation>Missed calls</translation>
    </message>
    <message>
        <source>录音导出失败：%1</source>
        <translation>The recording could not be exported: %1</translation>
    </message>
    <message>
        <source>导出录音</source>
        <translation>Export recording</translation>
    </message>
</context>
<context>
    <name>CConnectionDlg</name>
    <message>
        <source>连接类型</source>
        <translation>Connection type</translation>
    </message>
    <message>
        <source>秒</source>
        <translation>s</translation>
    </message>
    <message>
        <source>超时</source>
        <translation>Time-out</translation>
    </message>
    <message>
        <source>SOCK5/HTTP 代理服务器</source>
        <translation>SOCKS5/HTTP proxy server</translation>
    </message>
    <message>
        <source>禁用代理服务</source>
        <translation>No proxy</translation>
    </message>
    <message>
        <source>启用代理服务</source>
        <translation>Use the proxy</translation>
    </message>
    <message>
        <source>代理地址</source>
        <translation>Proxy address</translation>
    </message>
    <message>
        <source>SOCK5 端口:</source>
        <translation>SOCKS5 port:</translation>
    </message>
    <message>
        <source>HTTP 端口:</source>
        <translation>HTTP port:</translation>
    </message>
    <message>
        <source>用户名</source>
        <translation>User name</translation>
    </message>
    <message>
        <source>密码</source>
        <translation>Password</translation>
    </message>
    <message>
        <source>改变数值后需重启Kestrona才能生效</source>
        <translation>Changes take effect after Kestrona is restarted.</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>CLoginDlg</name>
    <message>
        <source>登录</source>
        <translation>Log in</translation>
    </message>
    <message>
        <source>号码</source>
        <translation>Number</translation>
    </message>
    <message>
        <source>密码</source>
        <translation>Password</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>连接设置</source>
        <translation>Connection settings...</translation>
    </message>
</context>
<context>
    <name>COptionPage</name>
    <message>
        <source>改变数值后需重启Kestrona才能生效</source>
        <translation>Changes take effect after Kestrona is restarted.</translation>
    </message>
    <message>
        <source>请输入一个整数。</source>
        <translation>Please enter a whole number.</translation>
    </message>
    <message>
        <source>请输入一个在 %1 和 %2 之间的整数。</source>
        <translation>Please enter a whole number from %1 to %2.</translation>
    </message>
</context>
<context>
    <name>COptionSheet</name>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>CPage1</name>
    <message>
        <source>连接</source>
        <translation>Connection</translation>
    </message>
    <message>
        <source>连接类型</source>
        <translation>Connection type</translation>
    </message>
    <message>
        <source>超时</source>
        <translation>Time-out</translation>
    </message>
    <message>
        <source>秒</source>
        <translation>s</translation>
    </message>
    <message>
        <source>SOCK5/HTTP 代理服务器</source>
        <translation>SOCKS5/HTTP proxy server</translation>
    </message>
    <message>
        <source>禁用代理服务</source>
        <translation>No proxy</translation>
    </message>
    <message>
        <source>启用代理服务1</source>
        <translation>Use the proxy</translation>
    </message>
    <message>
        <source>代理地址</source>
        <translation>Proxy address</translation>
    </message>
    <message>
        <source>SOCK5 端口:</source>
        <translation>SOCKS5 port:</translation>
    </message>
    <message>
        <source>HTTP 端口:</source>
        <translation>HTTP port:</translation>
    </message>
    <message>
        <source>用户名</source>
        <translation>User name</translation>
    </message>
    <message>
        <source>密码</source>
        <translation>Password</translation>
    </message>
</context>
<context>
    <name>CPage2</name>
    <message>
        <source>防火墙</source>
        <translation>Firewall</translation>
    </message>
    <message>
        <source>防火墙端口</source>
        <translation>Firewall ports</translation>
    </message>
    <message>
        <source>使用任意端口</source>
        <translation>Use any port</translation>
    </message>
    <message>
        <source>使用指定端口</source>
        <translation>Use these ports</translation>
    </message>
    <message>
        <source>命令口</source>
        <translation>Command port</translation>
    </message>
    <message>
        <source>接听口</source>
        <translation>Receiving port</translation>
    </message>
    <message>
        <source>发送口</source>
        <translation>Sending port</translation>
    </message>
    <message>
        <source>如果你在防火墙后面使用Kestrona,请选择使用指定端口来接受别人的呼叫，并在你的防火墙中开放以上的端口。</source>
        <translation>If you use Kestrona behind a firewall, choose &quot;Use these ports&quot; to receive calls, and open these ports in your firewall.</translation>
    </message>
    <message>
        <source>路由器端口映射</source>
        <translation>Router port mapping</translation>
    </message>
    <message>
        <source>让路由器自动转发接听端口 (UPnP / NAT-PMP)</source>
        <translation>Let the router forward the listening ports automatically (UPnP / NAT-PMP)</translation>
    </message>
    <message>
        <source>状态</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>不可用</source>
        <translation>Not available</translation>
    </message>
    <message>
        <source>呼入</source>
        <translation>Incoming calls</translation>
    </message>
    <message>
        <source>未知</source>
        <translation>Unknown</translation>
    </message>
</context>
<context>
    <name>CPage3</name>
    <message>
        <source>自动应答</source>
        <translation>Auto-answer</translation>
    </message>
    <message>
        <source>自动化</source>
        <translation>Automation</translation>
    </message>
    <message>
        <source>自动开启自动应答</source>
        <translation>Switch auto-answer on at start</translation>
    </message>
    <message>
        <source>录音限制时长</source>
        <translation>Limit the recording time</translation>
    </message>
    <message>
        <source>多少次铃声后自动应答</source>
        <translation>Answer automatically after</translation>
    </message>
    <message>
        <source>秒</source>
        <translation>s</translation>
    </message>
    <message>
        <source>来电时显示桌面通知</source>
        <translation>Show desktop notifications of calls</translation>
    </message>
</context>
<context>
    <name>CPage4</name>
    <message>
        <source>质量</source>
        <translation>Quality</translation>
    </message>
    <message>
        <source>带宽保留</source>
        <translation>Bandwidth reserve</translation>
    </message>
    <message>
        <source>1/4 秒 (更实时)</source>
        <translation>1/4 s (more real-time)</translation>
    </message>
    <message>
        <source>1/2 秒</source>
        <translation>1/2 s</translation>
    </message>
    <message>
        <source>1 秒</source>
        <translation>1 s</translation>
    </message>
    <message>
        <source>2 秒</source>
        <translation>2 s</translation>
    </message>
    <message>
        <source>3 秒</source>
        <translation>3 s</translation>
    </message>
    <message>
        <source>4 秒</source>
        <translation>4 s</translation>
    </message>
    <message>
        <source>5 秒(更稳定)</source>
        <translation>5 s (more stable)</translation>
    </message>
    <message>
        <source>延迟缓冲</source>
        <translation>Delay buffer</translation>
    </message>
    <message>
        <source>秒数越大，延迟越大但越稳定可靠。推荐使用1/2秒</source>
        <translation>The more seconds, the longer the delay but the steadier the sound. 1/2 s is recommended.</translation>
    </message>
    <message>
        <source>只用标准通话（G.729，不加密）</source>
        <translation>Standard calls only (G.729, no encryption)</translation>
    </message>
    <message>
        <source>与我们的电话通话时，不用 Opus 宽带语音和短帧。</source>
        <translation>No Opus wideband speech and no short frames, even with phones like this one.</translation>
    </message>
</context>
<context>
    <name>CPage5</name>
    <message>
        <source>关于</source>
        <translation>About</translation>
    </message>
    <message>
        <source>版权所有 Ostravine 公司。保留所有权利。</source>
        <translation>Copyright Ostravine. All rights reserved.</translation>
    </message>
    <message>
        <source>Ostravine网站</source>
        <translation>Ostravine web site</translation>
    </message>
    <message>
        <source>Kestrona 站点</source>
        <translation>Kestrona web site</translation>
    </message>
    <message>
        <source>在线购买</source>
        <translation>Buy online</translation>
    </message>
</context>
<context>
    <name>CPage6</name>
    <message>
        <source>声音</source>
        <translation>Sound</translation>
    </message>
    <message>
        <source>声音设备</source>
        <translation>Sound devices</translation>
    </message>
    <message>
        <source>测试</source>
        <translation>Test</translation>
    </message>
    <message>
        <source>麦克风</source>
        <translation>Microphone</translation>
    </message>
    <message>
        <source>扬声器</source>
        <translation>Loudspeaker</translation>
    </message>
    <message>
        <source>回声消除</source>
        <translation>Echo control</translation>
    </message>
    <message>
        <source>启用回声消除（不使用耳机时推荐）</source>
        <translation>Cancel the echo (recommended without a headset)</translation>
    </message>
    <message>
        <source>更换的设备从下一次通话起生效</source>
        <translation>Changed devices are used from the next call on.</translation>
    </message>
    <message>
        <source>系统默认设备</source>
        <translation>System default device</translation>
    </message>
    <message>
        <source>（未连接）</source>
        <translation>(not connected)</translation>
    </message>
    <message>
        <source>无法打开该扬声器</source>
        <translation>This loudspeaker cannot be opened</translation>
    </message>
    <message>
        <source>音量</source>
        <translation>Volume</translation>
    </message>
    <message>
        <source>麦克风音量</source>
        <translation>Microphone</translation>
    </message>
    <message>
        <source>扬声器音量</source>
        <translation>Loudspeaker</translation>
    </message>
    <message>
        <source>铃声音量</source>
        <translation>Ring</translation>
    </message>
</context>
<context>
    <name>CPage7</name>
    <message>
        <source>常规</source>
        <translation>General</translation>
    </message>
    <message>
        <source>通话加密</source>
        <translation>Call encryption</translation>
    </message>
    <message>
        <source>尽量加密（推荐）</source>
        <translation>When the other phone can (recommended)</translation>
    </message>
    <message>
        <source>必须加密</source>
        <translation>Always (refuse plain calls)</translation>
    </message>
    <message>
        <source>不加密</source>
        <translation>Never</translation>
    </message>
    <message>
        <source>加密</source>
        <translation>Encryption</translation>
    </message>
    <message>
        <source>从下一次通话起生效。</source>
        <translation>Takes effect from the next call.</translation>
    </message>
    <message>
        <source>目录服务器</source>
        <translation>Directory server</translation>
    </message>
    <message>
        <source>地址</source>
        <translation>Address</translation>
    </message>
    <message>
        <source>端口</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>界面语言</source>
        <translation>Language of the phone</translation>
    </message>
    <message>
        <source>自动</source>
        <translation>Automatic</translation>
    </message>
    <message>
        <source>语言</source>
        <translation>Language</translation>
    </message>
    <message>
        <source>请输入目录服务器的地址。</source>
        <translation>Please enter the address of the directory server.</translation>
    </message>
    <message>
        <source>通过TLS加密连接服务器</source>
        <translation>Connect to the server through TLS</translation>
    </message>
    <message>
        <source>可选，不填则由系统信任的证书机构验证</source>
        <translation>Optional; when empty, the authorities the system trusts verify the certificate</translation>
    </message>
    <message>
        <source>证书指纹(SHA-256)</source>
        <translation>Certificate fingerprint (SHA-256)</translation>
    </message>
    <message>
        <source>请输入服务器证书的SHA-256指纹：64位十六进制数字，可用冒号分隔。</source>
        <translation>Please enter the SHA-256 fingerprint of the server&apos;s certificate: 64 hexadecimal digits, colons allowed.</translation>
    </message>
    <message>
        <source>在线状态</source>
        <translation>Presence</translation>
    </message>
    <message>
        <source>对他人显示为离线（仍可接听来电）</source>
        <translation>Appear offline to others (calls still come through)</translation>
    </message>
</context>
<context>
    <name>CPhoneApp</name>
    <message>
        <source>Kestrona 已经在运行。</source>
        <translation>Kestrona is already running.</translation>
    </message>
</context>
<context>
    <name>CPhoneBookDlg</name>
    <message>
        <source>电话簿</source>
        <translation>Phone book</translation>
    </message>
    <message>
        <source>增加组</source>
        <translation>Add group</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Delete</translation>
    </message>
    <message>
        <source>增加名单</source>
        <translation>Add contact</translation>
    </message>
    <message>
        <source>呼叫</source>
        <translation>Call</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>名字</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>号码</source>
        <translation>Number</translation>
    </message>
    <message>
        <source>请先选择一个组，再增加联系人。</source>
        <translation>Please select a group first, then add the contact.</translation>
    </message>
</context>
<context>
    <name>CPhoneFace</name>
    <message>
        <source>呼叫</source>
        <translation>Call</translation>
    </message>
    <message>
        <source>挂断</source>
        <translation>Hang up</translation>
    </message>
    <message>
        <source>电话簿</source>
        <translation>Phone book</translation>
    </message>
    <message>
        <source>接入</source>
        <translation>In</translation>
    </message>
    <message>
        <source>拨出</source>
        <translation>Out</translation>
    </message>
    <message>
        <source>未接</source>
        <translation>Missed</translation>
    </message>
    <message>
        <source>清除</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>录音</source>
        <translation>Rec</translation>
    </message>
    <message>
        <source>自动</source>
        <translation>Auto</translation>
    </message>
    <message>
        <source>设置</source>
        <translation>Setup</translation>
    </message>
</context>
<context>
    <name>CRegisterDlg</name>
    <message>
        <source>注册以得到一个新的Kestrona电话号码</source>
        <translation>Register to get a new Kestrona number</translation>
    </message>
    <message>
        <source>注册信息</source>
        <translation>Registration details</translation>
    </message>
    <message>
        <source>名字</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>密码</source>
        <translation>Password</translation>
    </message>
    <message>
        <source>重输密码</source>
        <translation>Password again</translation>
    </message>
    <message>
        <source>国家</source>
        <translation>Country</translation>
    </message>
    <message>
        <source>城市</source>
        <translation>City</translation>
    </message>
    <message>
        <source>请正确的输入以上所有信息，如果已经注册过一个Kestrona号码，请点击“已有号码”</source>
        <translation>Please fill in all the fields above. If you already have a Kestrona number, click &quot;I have a number&quot;.</translation>
    </message>
    <message>
        <source>注册</source>
        <translation>Register</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>网络设置</source>
        <translation>Network settings...</translation>
    </message>
    <message>
        <source>已有号码</source>
        <translation>I have a number</translation>
    </message>
</context>
<context>
    <name>DesktopCalls</name>
    <message>
        <source>来电</source>
        <translation>Incoming call</translation>
    </message>
    <message>
        <source>未接电话</source>
        <translation>Missed call</translation>
    </message>
    <message>
        <source>留言</source>
        <translation>Message left</translation>
    </message>
    <message>
        <source>%1 在答录机上留了言</source>
        <translation>%1 left a message on the answering machine</translation>
    </message>
    <message>
        <source>接听</source>
        <translation>Answer</translation>
    </message>
    <message>
        <source>拒接</source>
        <translation>Decline</translation>
    </message>
    <message>
        <source>回拨</source>
        <translation>Call back</translation>
    </message>
    <message>
        <source>播放</source>
        <translation>Play</translation>
    </message>
    <message>
        <source>通话中</source>
        <translation>A call is in progress</translation>
    </message>
</context>
<context>
    <name>DialogChecks</name>
    <message>
        <source>请输入不超过 %1 个字符。</source>
        <translation>Please enter no more than %1 characters.</translation>
    </message>
    <message>
        <source>请输入一个整数。</source>
        <translation>Please enter a whole number.</translation>
    </message>
</context>
<context>
    <name>KeyDescription</name>
    <message>
        <source>拨打输入的号码，或接听来电</source>
        <translation>Calls the number typed, or answers a ringing call</translation>
    </message>
    <message>
        <source>结束通话</source>
        <translation>Ends the call</translation>
    </message>
    <message>
        <source>打开电话簿</source>
        <translation>Opens the phone book</translation>
    </message>
    <message>
        <source>打开接入的电话列表</source>
        <translation>Opens the list of incoming calls</translation>
    </message>
    <message>
        <source>打开拨出的电话列表</source>
        <translation>Opens the list of outgoing calls</translation>
    </message>
    <message>
        <source>打开未接电话列表</source>
        <translation>Opens the list of missed calls</translation>
    </message>
    <message>
        <source>输入数字 1</source>
        <translation>Types the digit 1</translation>
    </message>
    <message>
        <source>输入数字 2</source>
        <translation>Types the digit 2</translation>
    </message>
    <message>
        <source>输入数字 3</source>
        <translation>Types the digit 3</translation>
    </message>
    <message>
        <source>输入数字 4</source>
        <translation>Types the digit 4</translation>
    </message>
    <message>
        <source>输入数字 5</source>
        <translation>Types the digit 5</translation>
    </message>
    <message>
        <source>输入数字 6</source>
        <translation>Types the digit 6</translation>
    </message>
    <message>
        <source>输入数字 7</source>
        <translation>Types the digit 7</translation>
    </message>
    <message>
        <source>输入数字 8</source>
        <translation>Types the digit 8</translation>
    </message>
    <message>
        <source>输入数字 9</source>
        <translation>Types the digit 9</translation>
    </message>
    <message>
        <source>输入数字 0</source>
        <translation>Types the digit 0</translation>
    </message>
    <message>
        <source>清除输入的号码</source>
        <translation>Clears the number typed</translation>
    </message>
    <message>
        <source>录下这次通话</source>
        <translation>Records this call</translation>
    </message>
    <message>
        <source>来电时自动应答并录音</source>
        <translation>Answers calls automatically and records the caller</translation>
    </message>
    <message>
        <source>打开设置</source>
        <translation>Opens the settings</translation>
    </message>
</context>
<context>
    <name>PopupMenu</name>
    <message>
        <source>恢复(&amp;S)</source>
        <translation>&amp;Show</translation>
    </message>
    <message>
        <source>退出(&amp;E)</source>
        <translation>&amp;Exit</translation>
    </message>
    <message>
        <source>最小化(&amp;H)</source>
        <translation>&amp;Hide</translation>
    </message>
    <message>
        <source>打入的电话(&amp;R)</source>
        <translation>&amp;Received calls</translation>
    </message>
    <message>
        <source>拨出的电话(&amp;D)</source>
        <translation>&amp;Dialled calls</translation>
    </message>
    <message>
        <source>未接电话(&amp;M)</source>
        <translation>&amp;Missed calls</translation>
    </message>
    <message>
        <source>帮助(&amp;H)</source>
        <translation>&amp;Help</translation>
    </message>
    <message>
        <source>选项(&amp;O)</source>
        <translation>&amp;Options</translation>
    </message>
    <message>
        <source>静音/取消静音(&amp;U)</source>
        <translation>M&amp;ute / unmute</translation>
    </message>
</context>
<context>
    <name>PresenceMarks</name>
    <message>
        <source>在线</source>
        <translation>online</translation>
    </message>
    <message>
        <source>离线</source>
        <translation>offline</translation>
    </message>
    <message>
        <source>状态未知</source>
        <translation>status unknown</translation>
    </message>
    <message>
        <source>%1，%2</source>
        <translation>%1, %2</translation>
    </message>
</context>
<context>
    <name>ResString</name>
    <message>
        <source>关于 Kestrona(&amp;A)...</source>
        <translation>&amp;About Kestrona...</translation>
    </message>
    <message>
        <source>Ostravine Kestrona</source>
        <translation>Ostravine Kestrona</translation>
    </message>
    <message>
        <source>网络初始失败</source>
        <translation>The network could not be started.</translation>
    </message>
    <message>
        <source>呼叫 / 接听</source>
        <translation>Call / Answer</translation>
    </message>
    <message>
        <source>挂断</source>
        <translation>Hang up</translation>
    </message>
    <message>
        <source>电话簿</source>
        <translation>Phone book</translation>
    </message>
    <message>
        <source>接入的电话</source>
        <translation>Incoming calls</translation>
    </message>
    <message>
        <source>拨出的电话</source>
        <translation>Outgoing calls</translation>
    </message>
    <message>
        <source>未接电话</source>
        <translation>Missed calls</translation>
    </message>
    <message>
        <source>Number 1</source>
        <translation>Number 1</translation>
    </message>
    <message>
        <source>Number 2</source>
        <translation>Number 2</translation>
    </message>
    <message>
        <source>Number 3</source>
        <translation>Number 3</translation>
    </message>
    <message>
        <source>Number 4</source>
        <translation>Number 4</translation>
    </message>
    <message>
        <source>Number 5</source>
        <translation>Number 5</translation>
    </message>
    <message>
        <source>Number 6</source>
        <translation>Number 6</translation>
    </message>
    <message>
        <source>Number 7</source>
        <translation>Number 7</translation>
    </message>
    <message>
        <source>Number 8</source>
        <translation>Number 8</translation>
    </message>
    <message>
        <source>Number 9</source>
        <translation>Number 9</translation>
    </message>
    <message>
        <source>Number 0</source>
        <translation>Number 0</translation>
    </message>
    <message>
        <source>清除</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>开始录音</source>
        <translation>Start recording</translation>
    </message>
    <message>
        <source>启动自动应答</source>
        <translation>Switch on auto-answer</translation>
    </message>
    <message>
        <source>设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>这不是空组.
你确定删除这个组和里面的所有联系人吗?</source>
        <translation>This group is not empty.
Delete the group and all its contacts?</translation>
    </message>
    <message>
        <source>就绪...</source>
        <translation>Ready...</translation>
    </message>
    <message>
        <source>拨出...</source>
        <translation>Dialling...</translation>
    </message>
    <message>
        <source>通话中...</source>
        <translation>In call...</translation>
    </message>
    <message>
        <source>接听?</source>
        <translation>Answer?</translation>
    </message>
    <message>
        <source>对方正在通话</source>
        <translation>Peer is busy</translation>
    </message>
    <message>
        <source>对方不在线</source>
        <translation>Peer not online</translation>
    </message>
    <message>
        <source>连接被中断</source>
        <translation>Connection lost</translation>
    </message>
    <message>
        <source>自动应答</source>
        <translation>Voicemail</translation>
    </message>
    <message>
        <source>对方软件版本不兼容</source>
        <translation>Incompatible</translation>
    </message>
    <message>
        <source>代理服务器连接失败，请检查网络设置。</source>
        <translation>Could not connect to the proxy server. Please check the network settings.</translation>
    </message>
    <message>
        <source>无效的注册信息。</source>
        <translation>The registration details are not valid.</translation>
    </message>
    <message>
        <source>注册成功！你的Kestrona ID :%d
请使用这个号码和你的密码登陆.</source>
        <translation>Registration succeeded! Your Kestrona ID: %d
Please log in with this number and your password.</translation>
    </message>
    <message>
        <source>注册失败，EMail已被占用</source>
        <translation>Registration failed: the e-mail address is already in use.</translation>
    </message>
    <message>
        <source>通讯过程超时。</source>
        <translation>The exchange timed out.</translation>
    </message>
    <message>
        <source>登陆失败，请检查密码是否正确。</source>
        <translation>Login failed. Please check that the password is correct.</translation>
    </message>
    <message>
        <source>请输入对方Kestrona号码</source>
        <translation>Please enter the other party&apos;s Kestrona number.</translation>
    </message>
    <message>
        <source>Kestrona</source>
        <translation>Kestrona</translation>
    </message>
    <message>
        <source>关闭前是否保存所有变动？</source>
        <translation>Save all changes before closing?</translation>
    </message>
    <message>
        <source>确定删除所有记录吗？</source>
        <translation>Delete all records?</translation>
    </message>
    <message>
        <source>注册不成功，请以后再试。</source>
        <translation>Registration did not succeed. Please try again later.</translation>
    </message>
    <message>
        <source>无法创建接受端口，这将造成无法接受呼叫
如果你使用了指定端口，可能是这些端口已经被占用。
如果你通过代理服务器则可能是这些端口在代理服务器上已经被占用。</source>
        <translation>The port for incoming calls cannot be opened, so calls cannot be received.
If you use fixed ports, they may already be in use.
If you go through a proxy server, these ports may already be in use on the proxy server.</translation>
    </message>
    <message>
        <source>对方用户使用的Kestrona版本太老，不支持这个请求。</source>
        <translation>The other party&apos;s Kestrona version is too old for this request.</translation>
    </message>
    <message>
        <source>当方正在线上，但是无法与之连接
这可能是由于对方在防火墙后面，并没有使用指定端口。</source>
        <translation>The other party is online but cannot be reached.
The other party may be behind a firewall without fixed ports.</translation>
    </message>
    <message>
        <source>无法打开帮助文件：
%s</source>
        <translation>The help file cannot be opened:
%s</translation>
    </message>
    <message>
        <source>无法打开语音端口，可能端口已被占用。通话已结束。</source>
        <translation>The audio ports cannot be opened; they may be in use. The call has ended.</translation>
    </message>
    <message>
        <source>无法连接对方的语音端口。通话已结束。</source>
        <translation>The other party&apos;s audio ports cannot be reached. The call has ended.</translation>
    </message>
    <message>
        <source>无法连接代理服务器。通话已结束。</source>
        <translation>The proxy server cannot be reached. The call has ended.</translation>
    </message>
    <message>
        <source>代理服务器不接受登录方式或拒绝了用户名和密码。通话已结束。</source>
        <translation>The proxy server refused the login method or the user name and password. The call has ended.</translation>
    </message>
    <message>
        <source>代理服务器拒绝建立语音连接。通话已结束。</source>
        <translation>The proxy server refused the audio connection. The call has ended.</translation>
    </message>
    <message>
        <source>代理服务器的应答无法识别。通话已结束。</source>
        <translation>The proxy server&apos;s answer was not understood. The call has ended.</translation>
    </message>
    <message>
        <source>建立语音连接超时。通话已结束。</source>
        <translation>Setting up the audio connection timed out. The call has ended.</translation>
    </message>
    <message>
        <source>没有找到录音设备，对方将听不到你的声音。</source>
        <translation>No recording device was found; the other party will not hear you.</translation>
    </message>
    <message>
        <source>录音设备不支持本次通话的声音格式，对方将听不到你的声音。</source>
        <translation>The recording device does not take this call&apos;s sound format; the other party will not hear you.</translation>
    </message>
    <message>
        <source>没有找到放音设备，你将听不到对方的声音。</source>
        <translation>No playback device was found; you will not hear the other party.</translation>
    </message>
    <message>
        <source>放音设备不支持本次通话的声音格式，你将听不到对方的声音。</source>
        <translation>The playback device does not take this call&apos;s sound format; you will not hear the other party.</translation>
    </message>
    <message>
        <source>无法连接SOCKS5代理服务器，对方可能无法接通。</source>
        <translation>The SOCKS5 proxy server cannot be reached; calls may not get through to you.</translation>
    </message>
    <message>
        <source>没有找到声音服务，无法使用麦克风和扬声器。
通话仍可接通，声音服务启动后会自动恢复。</source>
        <translation>No sound service was found, so the microphone and loudspeaker cannot be used.
Calls still connect, and the sound comes back by itself when the sound service starts.</translation>
    </message>
    <message>
        <source>选择的声音设备不存在，已改用默认设备。</source>
        <translation>The chosen sound device does not exist; the default device is used instead.</translation>
    </message>
    <message>
        <source>录音设备已断开，对方暂时听不到你的声音。</source>
        <translation>The microphone has gone away; the other party cannot hear you for now.</translation>
    </message>
    <message>
        <source>放音设备已断开，你暂时听不到对方的声音。</source>
        <translation>The loudspeaker has gone away; you cannot hear the other party for now.</translation>
    </message>
    <message>
        <source>对方发来的通话参数无效。通话已结束。</source>
        <translation>The other party sent call parameters that are not valid. The call has ended.</translation>
    </message>
    <message>
        <source>无法验证服务器的证书：签发机构不受信任。
未与服务器通讯。</source>
        <translation>The server&apos;s certificate could not be verified: its issuer is not trusted.
Nothing was sent to the server.</translation>
    </message>
    <message>
        <source>服务器的证书已过期或尚未生效。
未与服务器通讯。</source>
        <translation>The server&apos;s certificate has expired or is not yet valid.
Nothing was sent to the server.</translation>
    </message>
    <message>
        <source>服务器的证书与服务器地址不符。
未与服务器通讯。</source>
        <translation>The server&apos;s certificate is not for the server&apos;s address.
Nothing was sent to the server.</translation>
    </message>
    <message>
        <source>服务器的证书与设置中固定的证书指纹不符。
未与服务器通讯。</source>
        <translation>The server&apos;s certificate does not match the fingerprint pinned in the settings.
Nothing was sent to the server.</translation>
    </message>
    <message>
        <source>无法与服务器建立TLS加密连接，请检查服务器的地址和端口是否支持TLS。</source>
        <translation>No TLS connection could be made with the server. Check that the server&apos;s address and port serve TLS.</translation>
    </message>
    <message>
        <source>设置中固定的证书指纹无效，应为64位十六进制数字。
未与服务器通讯。</source>
        <translation>The certificate fingerprint pinned in the settings is not valid: it must be 64 hexadecimal digits.
Nothing was sent to the server.</translation>
    </message>
    <message>
        <source>对方不支持加密通话。通话已结束。</source>
        <translation>The other party cannot take encrypted calls. The call has ended.</translation>
    </message>
    <message>
        <source>无法建立加密通话。通话已结束。</source>
        <translation>The encrypted call could not be set up. The call has ended.</translation>
    </message>
    <message>
        <source>加密</source>
        <translation>Encrypted</translation>
    </message>
    <message>
        <source>注意：对方身份已改变！</source>
        <translation>Warning: the other party&apos;s identity has changed!</translation>
    </message>
    <message>
        <source>静音</source>
        <translation>Muted</translation>
    </message>
    <message>
        <source>通话中有来电：%1</source>
        <translation>Called while you talked: %1</translation>
    </message>
    <message>
        <source>扬声器音量：%1%</source>
        <translation>Loudspeaker: %1%</translation>
    </message>
    <message>
        <source>音质好</source>
        <translation>Sound good</translation>
    </message>
    <message>
        <source>音质一般</source>
        <translation>Sound fair</translation>
    </message>
    <message>
        <source>音质差</source>
        <translation>Sound poor</translation>
    </message>
</context>
<context>
    <name>kestrona::CPortMapping</name>
    <message>
        <source>已映射 %1:%2</source>
        <translation>Mapped %1:%2</translation>
    </message>
    <message>
        <source>正在询问路由器</source>
        <translation>Asking the router</translation>
    </message>
    <message>
        <source>不可用</source>
        <translation>Not available</translation>
    </message>
    <message>
        <source>已关闭</source>
        <translation>Switched off</translation>
    </message>
</context>
<context>
    <name>kestrona::CReachability</name>
    <message>
        <source>正在检查能否呼入</source>
        <translation>Checking whether calls can come in</translation>
    </message>
    <message>
        <source>可以直接呼入</source>
        <translation>Reachable directly</translation>
    </message>
    <message>
        <source>经路由器映射 %1:%2 呼入</source>
        <translation>Reachable through the router&apos;s mapping %1:%2</translation>
    </message>
    <message>
        <source>经中继 %1:%2 呼入</source>
        <translation>Reachable through the relay %1:%2</translation>
    </message>
    <message>
        <source>无法呼入：请在路由器上打开端口映射，或设置固定端口并在防火墙上放行</source>
        <translation>Not reachable: switch on port mapping on the router, or set fixed ports and open them in the firewall</translation>
    </message>
    <message>
        <source>未知</source>
        <translation>Unknown</translation>
    </message>
</context>
<context>
    <name>kestrona::CSkinFace</name>
    <message>
        <source>本机地址</source>
        <translation>own address</translation>
    </message>
    <message>
        <source>对方</source>
        <translation>other party</translation>
    </message>
    <message>
        <source>通话状态</source>
        <translation>call state</translation>
    </message>
    <message>
        <source>时间</source>
        <translation>time</translation>
    </message>
</context>
</TS>
