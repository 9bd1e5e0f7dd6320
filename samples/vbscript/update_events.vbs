' Orvane from a script that receives the control's events: check a web server, compare an
' installed program's version and download the package when the server's is newer.
'
'   cscript //nologo update_events.vbs HOST PORT PATH FOLDER PROGRAM
'
' It needs a script host that delivers events: WScript.CreateObject with a prefix connects the
' subroutines named Updater_<event> below, and WScript.Sleep pumps the messages through which
' the events arrive (a plain wait loop without it would never see one). Windows Script Host
' does both; Wine 8's cscript implements neither, so the script does not work there
' (update_check.vbs shows what works in any script host, and runs there).
'
' A script cannot read the UPDATEINFO record's fields: VBScript has no user-defined types, so
' neither the Info argument nor UpdateInformation is of use to it. It need not: CompareVersion
' and ReceiveUpdate use the record the control holds.
Option Explicit

Const ORV_ERROR_SUCCESS = 0
Const VER_UPDATEISGREATER = 1

Dim args, updater, finished, exitCode, waited
Set args = WScript.Arguments
If args.Count < 5 Then
    WScript.Echo "usage: cscript //nologo update_events.vbs HOST PORT PATH FOLDER PROGRAM"
    WScript.Quit 2
End If

' The second argument connects the control's events to the subroutines "Updater_" + name.
' (Another way: CreateObject, then WScript.ConnectObject updater, "Updater_".)
Set updater = WScript.CreateObject("OrvaneControl.Orvane", "Updater_")
updater.RemoteHost = "http://" & args(0)   ' the scheme and host only
updater.RemotePort = CLng(args(1))         ' 0 to 32767
updater.RemotePath = args(2)
' updater.PublisherKey = "MFkw..."         ' the line of your publisher.pub: signed files only

finished = False
exitCode = 1
If updater.CheckUpdate() <> ORV_ERROR_SUCCESS Then WScript.Quit 1

' Pump messages until an event ends the cycle, for at most three minutes.
waited = 0
Do While Not finished And waited < 1800
    WScript.Sleep 100
    waited = waited + 1
Loop
If Not finished Then WScript.Echo "no outcome"
WScript.Quit exitCode

Sub Finish(code)
    exitCode = code
    finished = True
End Sub

Sub Updater_HttpStatus(number, text)
    WScript.Echo "HttpStatus " & number & " " & text
    If number <> 200 Then Finish 1
End Sub

Sub Updater_InfoReceived(info)
    ' Do not touch info here: read what you need through the control's methods.
    If updater.CompareVersion(args(4)) <> VER_UPDATEISGREATER Then
        WScript.Echo "no newer version"
        Finish 0
    ElseIf updater.ReceiveUpdate(args(3)) <> ORV_ERROR_SUCCESS Then
        Finish 1
    End If
End Sub

Sub Updater_ReceivingUpdate(bytes, total, percent, rate)
    WScript.Echo "ReceivingUpdate " & total & " bytes, " & percent & "%"
End Sub

Sub Updater_UpdateReceived()
    WScript.Echo "UpdateReceived"
    Finish 0
End Sub

Sub Updater_ConnectionError(number, text)
    WScript.Echo "ConnectionError " & number & " " & text
    Finish 1
End Sub
