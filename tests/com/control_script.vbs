' What a late-bound script client sees of the control, synchronously. Wine's cscript swallows
' script errors, so every check is explicit and the failure count is the exit code.
Option Explicit
On Error Resume Next

Dim failures, o, r, v, kernel
failures = 0

Sub Check(ok, what)
    If Not ok Then
        WScript.Echo "FAIL: " & what
        failures = failures + 1
    End If
End Sub

Set o = CreateObject("OrvaneControl.Orvane")
If Err.Number <> 0 Then
    WScript.Echo "FAIL: CreateObject " & Err.Number & " " & Err.Description
    WScript.Quit 1
End If

Check o.RemoteHost = "http://", "RemoteHost default"
Check o.RemotePort = 80, "RemotePort default"
Check o.RemotePath = "/", "RemotePath default"
Check o.RemoteFile = "update.orv", "RemoteFile default"
Check o.ProxyHost = "proxy.", "ProxyHost default"
Check o.ProxyPort = 8080, "ProxyPort default"
Check o.Proxy = False, "Proxy default"
Check o.Authorization = False, "Authorization default"
Check o.AuthUsername = "", "AuthUsername default"
Check o.AuthPassword = "", "AuthPassword default"
Check o.UpdateState = 0, "UpdateState default"
Check o.ConnectTimeout = 30, "ConnectTimeout default"

o.RemotePath = "download"
Check o.RemotePath = "/download/", "RemotePath normalised: " & o.RemotePath
o.RemotePath = ""
Check o.RemotePath = "/", "empty RemotePath"
o.RemotePath = "a/"
Check o.RemotePath = "/a/", "RemotePath a/"

' Authorization is tested before the proxy.
o.Authorization = True
o.Proxy = True
o.ProxyPort = 0
Check o.CheckUpdate() = -5, "CheckUpdate with both incomplete"
o.Authorization = False
Check o.CheckUpdate() = -6, "CheckUpdate with proxy incomplete"
o.Proxy = False
o.ProxyPort = 8080

Check o.ReceiveUpdate() = -7, "ReceiveUpdate before any check"
Check o.ReceiveUpdate("", "x.exe") = -7, "ReceiveUpdate with a file name before any check"

kernel = "C:\windows\system32\kernel32.dll"
v = "unchanged"
r = o.GetFileVersion(kernel, v)
Check Err.Number = 0, "GetFileVersion error " & Err.Number
Check r = 0, "GetFileVersion result " & r
Check v <> "unchanged" And InStr(v, ".") > 0, "GetFileVersion wrote back " & v
v = "unchanged"
r = o.GetFileVersion("C:\no\such\file.dll", v)
Check r = -9, "GetFileVersion of a missing file " & r
Check v = "unchanged", "FileVersion untouched on failure"
r = o.CompareVersion(kernel)
Check r = 0, "CompareVersion with no update information " & r

Err.Clear
v = o.UpdateInformation
Check Err.Number = 13, "UpdateInformation before any record: " & Err.Number
Err.Clear
o.RemotePort = "12ab"
Check Err.Number = 13, "RemotePort = 12ab: " & Err.Number
Err.Clear
o.RemotePort = 40000
r = o.CheckUpdate()
Check Err.Number = 6, "CheckUpdate on port 40000: " & Err.Number
Check o.UpdateState = 0, "still free after the overflow"
Err.Clear

If failures = 0 Then WScript.Echo "script checks passed"
WScript.Quit failures
