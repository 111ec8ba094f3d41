<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>MainWindow</name>
    <message>
        <source>MainWindow</source>
        <translation>Vyrflash 烧录工具</translation>
    </message>
    <message>
        <source>Import Upgrade File</source>
        <translation>导入升级文件</translation>
    </message>
    <message>
        <source>Import Media Dir</source>
        <translation>导入媒体目录</translation>
    </message>
    <message>
        <source>Import Config File</source>
        <translation>导入配置文件</translation>
    </message>
    <message>
        <source>Reset Port Match Info</source>
        <translation>重置端口匹配信息</translation>
    </message>
    <message>
        <source>切换语言</source>
        <translation>切换语言 (Language)</translation>
    </message>
    <message>
        <source>version</source>
        <translation>版本</translation>
    </message>
    <message>
        <source>Progress</source>
        <translation>进度</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>状态</translation>
    </message>
    <message>
        <source>Devices</source>
        <translation>设备</translation>
    </message>
    <message>
        <source>Port1</source>
        <translation>端口1</translation>
    </message>
    <message>
        <source>Port2</source>
        <translation>端口2</translation>
    </message>
    <message>
        <source>Port3</source>
        <translation>端口3</translation>
    </message>
    <message>
        <source>Port4</source>
        <translation>端口4</translation>
    </message>
    <message>
        <source>Port5</source>
        <translation>端口5</translation>
    </message>
    <message>
        <source>Port6</source>
        <translation>端口6</translation>
    </message>
    <message>
        <source>Port7</source>
        <translation>端口7</translation>
    </message>
    <message>
        <source>Port8</source>
        <translation>端口8</translation>
    </message>
    <message>
        <source>Start</source>
        <translation>开始</translation>
    </message>
    <message>
        <source>Stop</source>
        <translation>停止</translation>
    </message>
    <message>
        <source>port1</source>
        <translation>端口1</translation>
    </message>
    <message>
        <source>port2</source>
        <translation>端口2</translation>
    </message>
    <message>
        <source>port3</source>
        <translation>端口3</translation>
    </message>
    <message>
        <source>port4</source>
        <translation>端口4</translation>
    </message>
    <message>
        <source>port5</source>
        <translation>端口5</translation>
    </message>
    <message>
        <source>port6</source>
        <translation>端口6</translation>
    </message>
    <message>
        <source>port7</source>
        <translation>端口7</translation>
    </message>
    <message>
        <source>port8</source>
        <translation>端口8</translation>
    </message>
    <message>
        <source>efuse</source>
        <translation>熔丝</translation>
    </message>
    <message>
        <source>Mac</source>
        <translation>以太网 Mac</translation>
    </message>
    <message>
        <source>Mac_bt</source>
        <translation>蓝牙 Mac</translation>
    </message>
    <message>
        <source>Mac_wifi</source>
        <translation>WiFi Mac</translation>
    </message>
    <message>
        <source>Userinfo</source>
        <translation>用户信息</translation>
    </message>
    <message>
        <source>HDCP</source>
        <translation>HDCP 密钥</translation>
    </message>
    <message>
        <source>Save Log</source>
        <translation>保存日志</translation>
    </message>
    <message>
        <source>Clear Log</source>
        <translation>清除日志</translation>
    </message>
    <message>
        <source>erase nand</source>
        <translation>擦除 NAND</translation>
    </message>
    <message>
        <source>Config</source>
        <translation>配置</translation>
    </message>
    <message>
        <source>help</source>
        <translation>帮助</translation>
    </message>
    <message>
        <source>Connect</source>
        <translation>已连接</translation>
    </message>
    <message>
        <source>Success</source>
        <translation>成功</translation>
    </message>
    <message>
        <source>Failed</source>
        <translation>失败</translation>
    </message>
    <message>
        <source>Disconnect</source>
        <translation>未连接</translation>
    </message>
    <message>
        <source>used</source>
        <translation>占用</translation>
    </message>
    <message>
        <source>Please pull out the device,then select config-&gt;reset port match info.</source>
        <translation>请拔出设备，然后选择 配置-&gt;重置端口匹配信息。</translation>
    </message>
    <message>
        <source>Please check progress control file!</source>
        <translation>请检查烧录流程文件！</translation>
    </message>
    <message>
        <source>The upgrade package in tmp was not imported completely (the program ended during the import). Import the upgrade file again.</source>
        <translation>tmp 中的升级包没有完整导入（导入时程序已结束）。请重新导入升级文件。</translation>
    </message>
    <message>
        <source>Only support one device ,it's a release for no hub!</source>
        <translation>只支持一台设备，此版本不支持集线器！</translation>
    </message>
    <message>
        <source>stop Burning first</source>
        <translation>请先停止烧录</translation>
    </message>
    <message>
        <source>Import configure files</source>
        <translation>导入配置文件</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>错误</translation>
    </message>
    <message>
        <source>Failed to open %1
%2</source>
        <translation>无法打开 %1
%2</translation>
    </message>
    <message>
        <source>select upgrade file</source>
        <translation>选择升级文件</translation>
    </message>
    <message>
        <source>upgrade file: </source>
        <translation>升级文件：</translation>
    </message>
    <message>
        <source>operate failed,Please reload the upgrade file!</source>
        <translation>操作失败，请重新导入升级文件！</translation>
    </message>
    <message>
        <source>find no upgrade config ,please load it manually!</source>
        <translation>未找到升级配置，请手动导入！</translation>
    </message>
    <message>
        <source>select Media Dir</source>
        <translation>选择媒体目录</translation>
    </message>
    <message>
        <source>Media Dir:</source>
        <translation>媒体目录：</translation>
    </message>
    <message>
        <source>save as</source>
        <translation>另存为</translation>
    </message>
    <message>
        <source>Read only</source>
        <translation>只读</translation>
    </message>
    <message>
        <source>The file is in read only mode</source>
        <translation>文件处于只读模式</translation>
    </message>
    <message>
        <source>Press Stop and let every burn end before importing an upgrade file!</source>
        <translation>请先按“停止”并等待所有烧录结束，再导入升级文件！</translation>
    </message>
    <message>
        <source>The tmp directory is a symbolic link; replace it by a directory and import again.</source>
        <translation>tmp 目录是一个符号链接；请将其换成普通目录后重新导入。</translation>
    </message>
    <message>
        <source>The upgrade file cannot be used: %1</source>
        <translation>无法使用该升级文件：%1</translation>
    </message>
    <message>
        <source>The upgrade file is damaged and was not imported (see the log). Please reload the upgrade file!</source>
        <translation>升级文件已损坏，未导入（详见日志）。请重新导入升级文件！</translation>
    </message>
    <message>
        <source>Unpacking the upgrade file...</source>
        <translation>正在解压升级文件……</translation>
    </message>
    <message>
        <source>Reading the burn plan...</source>
        <translation>正在读取烧录配置……</translation>
    </message>
    <message>
        <source>The log could not be saved to %1 (%2). Its lines are kept and saved again with the next save.</source>
        <translation>日志无法保存到 %1（%2）。日志内容已保留，将在下次保存时再次写入。</translation>
    </message>
    <message>
        <source>Burn records…</source>
        <translation>烧录记录…</translation>
    </message>
</context>
<context>
    <name>RecordsDialog</name>
    <message>
        <source>Burn records</source>
        <translation>烧录记录</translation>
    </message>
    <message>
        <source>Show:</source>
        <translation>显示：</translation>
    </message>
    <message>
        <source>all</source>
        <translation>全部</translation>
    </message>
    <message>
        <source>success</source>
        <translation>成功</translation>
    </message>
    <message>
        <source>failure</source>
        <translation>失败</translation>
    </message>
    <message>
        <source>interrupted</source>
        <translation>中断</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>刷新</translation>
    </message>
    <message>
        <source>Export CSV…</source>
        <translation>导出 CSV…</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>Export burn records</source>
        <translation>导出烧录记录</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>错误</translation>
    </message>
    <message>
        <source>The burn records could not be exported to %1 (%2).</source>
        <translation>烧录记录无法导出到 %1（%2）。</translation>
    </message>
    <message>
        <source>No burn records yet: %1 does not exist. Records are kept from the first burn on.</source>
        <translation>尚无烧录记录：%1 不存在。从第一次烧录起开始保存记录。</translation>
    </message>
    <message>
        <source>The burn records in %1 cannot be read: %2</source>
        <translation>无法读取 %1 中的烧录记录：%2</translation>
    </message>
    <message>
        <source>%1 of %2 records shown (%3).</source>
        <translation>显示 %1 条记录，共 %2 条（%3）。</translation>
    </message>
    <message>
        <source>%1 records exported to %2.</source>
        <translation>已将 %1 条记录导出到 %2。</translation>
    </message>
</context>
<context>
    <name>RecordTableModel</name>
    <message>
        <source>success</source>
        <translation>成功</translation>
    </message>
    <message>
        <source>failure</source>
        <translation>失败</translation>
    </message>
    <message>
        <source>running</source>
        <translation>烧录中</translation>
    </message>
    <message>
        <source>interrupted</source>
        <translation>中断</translation>
    </message>
    <message>
        <source>Started</source>
        <translation>开始时间</translation>
    </message>
    <message>
        <source>Ended</source>
        <translation>结束时间</translation>
    </message>
    <message>
        <source>Port</source>
        <translation>端口</translation>
    </message>
    <message>
        <source>Device ID</source>
        <translation>设备 ID</translation>
    </message>
    <message>
        <source>Package</source>
        <translation>升级文件</translation>
    </message>
    <message>
        <source>Result</source>
        <translation>结果</translation>
    </message>
    <message>
        <source>Failed step</source>
        <translation>失败步骤</translation>
    </message>
    <message>
        <source>Failure text</source>
        <translation>失败信息</translation>
    </message>
</context>
</TS>
