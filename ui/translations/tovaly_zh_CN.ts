<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>tovaly::ui::COrlinDlg</name>
    <message>
        <source>HideMainWindow</source>
        <translation>隐藏主窗口</translation>
    </message>
    <message>
        <source>ShowMainWindow</source>
        <translation>显示主窗口</translation>
    </message>
    <message>
        <source>Reset</source>
        <translation>重启服务</translation>
    </message>
    <message>
        <source>Setting</source>
        <translation>设置</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>退出</translation>
    </message>
</context>
<context>
    <name>tovaly::ui::CSetting</name>
    <message>
        <source>Start with my desktop session</source>
        <translation>随桌面会话启动</translation>
    </message>
</context>
</TS>
