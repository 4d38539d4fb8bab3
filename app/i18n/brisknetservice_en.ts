<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>brisk::app::AuthPanel</name>
    <message>
        <source>授权信息</source>
        <translation>Authorization</translation>
    </message>
    <message>
        <source>查询</source>
        <translation>Query</translation>
    </message>
</context>
<context>
    <name>brisk::app::CAboutDialog</name>
    <message>
        <source>关于</source>
        <translation>About</translation>
    </message>
    <message>
        <source>BriskNetService 读卡服务</source>
        <translation>BriskNetService card reader service</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>brisk::app::CBrisk7ServerDlg</name>
    <message>
        <source>设置未能保存：%1</source>
        <translation>The setting could not be saved: %1</translation>
    </message>
    <message>
        <source>读卡器设置</source>
        <translation>Card reader settings</translation>
    </message>
    <message>
        <source>设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>启动</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>请输入 %1 到 %2 之间的整数。</source>
        <translation>Enter a whole number from %1 to %2.</translation>
    </message>
    <message>
        <source>切换到使用Cat1</source>
        <translation>Switched to Cat1</translation>
    </message>
    <message>
        <source>设置使用Cat1失败</source>
        <translation>Failed to switch to Cat1</translation>
    </message>
    <message>
        <source>使用本机网络</source>
        <translation>Using this PC&apos;s network</translation>
    </message>
    <message>
        <source>设置使用本机网络失败</source>
        <translation>Failed to switch to this PC&apos;s network</translation>
    </message>
    <message>
        <source>使用Cat1</source>
        <translation>Using Cat1</translation>
    </message>
    <message>
        <source>切换到使用本机网络</source>
        <translation>Switched to this PC&apos;s network</translation>
    </message>
    <message>
        <source>获取授权信息失败</source>
        <translation>Failed to read the authorization</translation>
    </message>
    <message>
        <source>获取平台信息失败</source>
        <translation>Failed to read the platform settings</translation>
    </message>
    <message>
        <source>端口号必须是1到65535之间的数字</source>
        <translation>The port must be a number from 1 to 65535</translation>
    </message>
    <message>
        <source>服务器地址不能超过250个字符</source>
        <translation>The server address cannot be longer than 250 characters</translation>
    </message>
    <message>
        <source>修改平台信息成功</source>
        <translation>Platform settings changed</translation>
    </message>
    <message>
        <source>修改平台信息失败</source>
        <translation>Failed to change the platform settings</translation>
    </message>
    <message>
        <source>查询连接状态失败</source>
        <translation>Failed to query the connection status</translation>
    </message>
    <message>
        <source>获取心跳间隔失败</source>
        <translation>Failed to read the heartbeat intervals</translation>
    </message>
    <message>
        <source>获取心跳间隔成功</source>
        <translation>Heartbeat intervals read</translation>
    </message>
    <message>
        <source>设置心跳间隔成功</source>
        <translation>Heartbeat intervals set</translation>
    </message>
    <message>
        <source>设置心跳间隔失败</source>
        <translation>Failed to set the heartbeat intervals</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Notice</translation>
    </message>
    <message>
        <source>当前使用移动数据连接，是否在退出后保持读卡功能?</source>
        <translation>The reader is using mobile data. Keep reading cards after exit?</translation>
    </message>
    <message>
        <source>当前使用的端口：COM%1</source>
        <translation>Port in use: COM%1</translation>
    </message>
    <message>
        <source>COM端口打开失败</source>
        <translation>Failed to open the COM port</translation>
    </message>
    <message>
        <source>设备未连接</source>
        <translation>No reader connected</translation>
    </message>
    <message>
        <source>无</source>
        <translation>No</translation>
    </message>
    <message>
        <source>有</source>
        <translation>Yes</translation>
    </message>
    <message>
        <source>未知</source>
        <translation>Unknown</translation>
    </message>
    <message>
        <source>设置网络模式失败</source>
        <translation>Failed to set the network mode</translation>
    </message>
    <message>
        <source>当前服务未启动</source>
        <translation>The service is not running</translation>
    </message>
    <message>
        <source>已打开</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>未打开</source>
        <translation>Closed</translation>
    </message>
    <message>
        <source>已连接</source>
        <translation>Connected</translation>
    </message>
    <message>
        <source>未连接</source>
        <translation>Not connected</translation>
    </message>
    <message>
        <source>设备连接已断开</source>
        <translation>The reader was disconnected</translation>
    </message>
    <message>
        <source>自动</source>
        <translation>Automatic</translation>
    </message>
    <message>
        <source>读卡服务</source>
        <translation>Card reader service</translation>
    </message>
    <message>
        <source>读卡服务(USB模式)</source>
        <translation>Card reader service (USB mode)</translation>
    </message>
    <message>
        <source>读卡服务(Cat1模式)</source>
        <translation>Card reader service (Cat1 mode)</translation>
    </message>
    <message>
        <source>升级文件与当前设备不匹配</source>
        <translation>The upgrade file does not match this device</translation>
    </message>
    <message>
        <source>检查到有设备需要升级，是否升级?</source>
        <translation>A device needs an upgrade. Upgrade it now?</translation>
    </message>
    <message>
        <source>关于</source>
        <translation>About</translation>
    </message>
    <message>
        <source>收起</source>
        <translation>Collapse</translation>
    </message>
</context>
<context>
    <name>brisk::app::ConfigPanel</name>
    <message>
        <source>配置</source>
        <translation>Configuration</translation>
    </message>
    <message>
        <source>连接平台方式：</source>
        <translation>Platform connection:</translation>
    </message>
    <message>
        <source>开机自动连接</source>
        <translation>Connect at power-on</translation>
    </message>
    <message>
        <source>等待上位机连接</source>
        <translation>Wait for the PC</translation>
    </message>
    <message>
        <source>启用数据缓存：</source>
        <translation>Data cache:</translation>
    </message>
    <message>
        <source>不启用</source>
        <translation>Off</translation>
    </message>
    <message>
        <source>启用</source>
        <translation>On</translation>
    </message>
    <message>
        <source>查询</source>
        <translation>Query</translation>
    </message>
    <message>
        <source>修改</source>
        <translation>Change</translation>
    </message>
    <message>
        <source>服务器地址：</source>
        <translation>Server address:</translation>
    </message>
    <message>
        <source>端口号：</source>
        <translation>Port:</translation>
    </message>
    <message>
        <source>查询终端连接状态</source>
        <translation>Query connection status</translation>
    </message>
    <message>
        <source>状态码：</source>
        <translation>Status code:</translation>
    </message>
    <message>
        <source>连接类型：</source>
        <translation>Connection type:</translation>
    </message>
    <message>
        <source>记录日志</source>
        <translation>Write a log</translation>
    </message>
</context>
<context>
    <name>brisk::app::DFUpgradeDialog</name>
    <message>
        <source>读卡器连接已断开</source>
        <translation>the reader was disconnected</translation>
    </message>
    <message>
        <source>读卡器无响应</source>
        <translation>the reader does not answer</translation>
    </message>
    <message>
        <source>读卡器固件不支持该操作</source>
        <translation>the reader&apos;s firmware does not support this operation</translation>
    </message>
    <message>
        <source>升级文件超出读卡器存储范围</source>
        <translation>the upgrade file does not fit the reader&apos;s memory</translation>
    </message>
    <message>
        <source>读卡器处于读保护状态</source>
        <translation>the reader is read-protected</translation>
    </message>
    <message>
        <source>读卡器存储区写保护</source>
        <translation>the reader&apos;s memory is write-protected</translation>
    </message>
    <message>
        <source>读回数据与升级文件不一致</source>
        <translation>the data read back differs from the upgrade file</translation>
    </message>
    <message>
        <source>错误码 0x</source>
        <translation>error code 0x</translation>
    </message>
    <message>
        <source>未知错误</source>
        <translation>unknown error</translation>
    </message>
    <message>
        <source>DFU升级</source>
        <translation>DFU upgrade</translation>
    </message>
    <message>
        <source>在程序升级成功或失败前，请勿关闭本对话框！</source>
        <translation>Do not close this dialog until the upgrade has succeeded or failed!</translation>
    </message>
    <message>
        <source>升级完成，但重启读卡器失败（%1），请重新插拔读卡器</source>
        <translation>Upgrade done, but the reader did not restart (%1). Unplug and replug the reader</translation>
    </message>
    <message>
        <source>校验失败（%1），请重新插拔读卡器后重试升级</source>
        <translation>Verification failed (%1). Unplug and replug the reader, then try the upgrade again</translation>
    </message>
    <message>
        <source>升级失败（%1），请重新插拔读卡器后重试升级</source>
        <translation>Upgrade failed (%1). Unplug and replug the reader, then try the upgrade again</translation>
    </message>
</context>
<context>
    <name>DfuUpgradeEngine</name>
    <message>
        <source>DFU设备打开失败</source>
        <translation>Failed to open the DFU device</translation>
    </message>
    <message>
        <source>DFU设备打开成功，开始升级</source>
        <translation>DFU device open, upgrading</translation>
    </message>
    <message>
        <source>升级完成，但重启读卡器失败</source>
        <translation>Upgrade done, but the reader did not restart</translation>
    </message>
    <message>
        <source>升级完成，请关闭此对话框。如未能成功打开端口，请重新插拔读卡器</source>
        <translation>Upgrade done: close this dialog. If the port does not open, unplug and replug the reader</translation>
    </message>
    <message>
        <source>升级成功</source>
        <translation>Upgrade succeeded</translation>
    </message>
    <message>
        <source>升级文件与当前设备不匹配，无法升级</source>
        <translation>The upgrade file does not match this device: no upgrade</translation>
    </message>
    <message>
        <source>升级文件校验失败</source>
        <translation>The upgrade file failed its check</translation>
    </message>
    <message>
        <source>升级文件校验成功，正在查找DFU设备</source>
        <translation>Upgrade file checked, looking for the DFU device</translation>
    </message>
    <message>
        <source>启动升级失败</source>
        <translation>Failed to start the upgrade</translation>
    </message>
    <message>
        <source>开始升级读卡器，请等待升级完成</source>
        <translation>Upgrading the reader: wait until the upgrade is done</translation>
    </message>
    <message>
        <source>找到DFU设备，正在打开</source>
        <translation>DFU device found, opening it</translation>
    </message>
    <message>
        <source>找到匹配的升级包,开始升级</source>
        <translation>Matching package found, upgrading</translation>
    </message>
    <message>
        <source>未找到匹配的升级包</source>
        <translation>No matching package found</translation>
    </message>
    <message>
        <source>校验成功</source>
        <translation>Verified</translation>
    </message>
    <message>
        <source>正在升级，请保持读卡器连接</source>
        <translation>Upgrading: keep the reader connected</translation>
    </message>
    <message>
        <source>正在查找DFU设备</source>
        <translation>Looking for the DFU device</translation>
    </message>
    <message>
        <source>正在查找匹配的升级包</source>
        <translation>Looking for a matching package</translation>
    </message>
    <message>
        <source>正在校验升级，请稍后</source>
        <translation>Verifying the upgrade, please wait</translation>
    </message>
</context>
<context>
    <name>brisk::app::HeartbeatPanel</name>
    <message>
        <source>服务器心跳</source>
        <translation>Server heartbeat</translation>
    </message>
    <message>
        <source>秒</source>
        <translation>s</translation>
    </message>
    <message>
        <source>USB心跳间隔：</source>
        <translation>USB heartbeat interval:</translation>
    </message>
    <message>
        <source>CAT1心跳间隔：</source>
        <translation>Cat1 heartbeat interval:</translation>
    </message>
    <message>
        <source>查询</source>
        <translation>Query</translation>
    </message>
    <message>
        <source>修改</source>
        <translation>Change</translation>
    </message>
</context>
<context>
    <name>brisk::app::NetModePanel</name>
    <message>
        <source>网络模式</source>
        <translation>Network mode</translation>
    </message>
    <message>
        <source>自动(USB优先)</source>
        <translation>Automatic (USB first)</translation>
    </message>
    <message>
        <source>仅USB</source>
        <translation>USB only</translation>
    </message>
    <message>
        <source>切换网络模式</source>
        <translation>Switch network mode</translation>
    </message>
</context>
<context>
    <name>brisk::app::NetTestPanel</name>
    <message>
        <source>网络质量检测</source>
        <translation>Network quality test</translation>
    </message>
    <message>
        <source>开始检测</source>
        <translation>Start test</translation>
    </message>
    <message>
        <source>测试读卡器网络质量失败</source>
        <translation>The reader&apos;s network test failed</translation>
    </message>
    <message>
        <source>当前平均延时为%1毫秒，最大%2毫秒，成功%3次，失败%4次</source>
        <translation>Average delay %1 ms, maximum %2 ms, %3 succeeded, %4 failed</translation>
    </message>
</context>
<context>
    <name>brisk::app::ServicePanel</name>
    <message>
        <source>服务</source>
        <translation>Service</translation>
    </message>
    <message>
        <source>启动</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>修改串口</source>
        <translation>Change port</translation>
    </message>
    <message>
        <source>当前使用的串口为：</source>
        <translation>Port in use:</translation>
    </message>
</context>
<context>
    <name>brisk::app::StartupPanel</name>
    <message>
        <source>启动设置</source>
        <translation>Start-up</translation>
    </message>
    <message>
        <source>开机自启动</source>
        <translation>Start with the session</translation>
    </message>
    <message>
        <source>自动启动服务</source>
        <translation>Start the service automatically</translation>
    </message>
</context>
<context>
    <name>brisk::app::StatusPanel</name>
    <message>
        <source>状态</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>串口：</source>
        <translation>Serial port:</translation>
    </message>
    <message>
        <source>未打开</source>
        <translation>Closed</translation>
    </message>
    <message>
        <source>服务器：</source>
        <translation>Server:</translation>
    </message>
    <message>
        <source>未连接</source>
        <translation>Not connected</translation>
    </message>
    <message>
        <source>串口接收：</source>
        <translation>Received from port:</translation>
    </message>
    <message>
        <source>串口发送：</source>
        <translation>Sent to port:</translation>
    </message>
    <message>
        <source>服务器接收：</source>
        <translation>Received from server:</translation>
    </message>
    <message>
        <source>服务器发送：</source>
        <translation>Sent to server:</translation>
    </message>
    <message>
        <source>Cat1模块：</source>
        <translation>Cat1 module:</translation>
    </message>
    <message>
        <source>型号：</source>
        <translation>Model:</translation>
    </message>
</context>
<context>
    <name>brisk::app::CBrisk7ServerApp</name>
    <message>
        <source>程序已启动，请在托盘处打开</source>
        <translation>The program is already running: open it from the tray</translation>
    </message>
</context>
</TS>
