' Orvane from a script: create the control by its ProgID, point it at a web server, start an
' update check and compare an installed program's version.
'
'   cscript //nologo update_check.vbs HOST PORT PATH [PROGRAM]
'
' A script host that delivers events (WScript.ConnectObject) also gets InfoReceived and the
' rest of the cycle; this sample shows what works in any script host: properties, methods,
' result codes and run-time errors. It exits with 0 when everything it tried worked.
Option Explicit
On Error Resume Next

Const ORV_ERROR_SUCCESS = 0
Const VER_UPDATEISGREATER = 1

Dim args, updater, result, version, program
Set args = WScript.Arguments
If args.Count < 3 Then
    WScript.Echo "usage: cscript //nologo update_check.vbs HOST PORT PATH [PROGRAM]"
    WScript.Quit 2
End If

Set updater = CreateObject("OrvaneControl.Orvane")
If Err.Number <> 0 Then
    WScript.Echo "The Orvane control is not registered (regsvr32 OrvaneCtl.ocx): " & Err.Description
    WScript.Quit 1
End If

updater.RemoteHost = "http://" & args(0)
updater.RemotePort = CLng(args(1))
updater.RemotePath = args(2)          ' a put adds the slashes: "updates" becomes "/updates/"
WScript.Echo "Update information: " & updater.RemoteHost & ":" & updater.RemotePort & _
             updater.RemotePath & updater.RemoteFile

' Run-time errors arrive as Err.Number: 6 for a port above 32767, for example.
updater.RemotePort = 40000
result = updater.CheckUpdate()
WScript.Echo "CheckUpdate with port 40000: run-time error " & Err.Number & " (" & Err.Description & ")"
If Err.Number <> 6 Then WScript.Quit 1
Err.Clear
updater.RemotePort = CLng(args(1))

' A failed call leaves `result` as it was: look at Err before using what it returned.
result = updater.CheckUpdate()
If Err.Number <> 0 Then
    WScript.Echo "CheckUpdate: run-time error " & Err.Number & " (" & Err.Description & ")"
    WScript.Quit 1
End If
If result <> ORV_ERROR_SUCCESS Then
    WScript.Echo "CheckUpdate: " & result & " (refused)"
    WScript.Quit 1
End If
WScript.Echo "CheckUpdate: " & result & " (the check has started), state " & updater.UpdateState
updater.CancelUpdate
WScript.Echo "CancelUpdate: state " & updater.UpdateState

If args.Count > 3 Then
    program = args(3)
    version = ""
    result = updater.GetFileVersion(program, version)
    WScript.Echo "GetFileVersion: " & result & ", " & program & " is version " & version
    If result <> ORV_ERROR_SUCCESS Then WScript.Quit 1
End If
WScript.Quit 0
