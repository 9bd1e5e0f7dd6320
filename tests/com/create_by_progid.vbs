' Creates the control by its ProgID, as a late-bound client of the script host's bitness does.
' The exit code is 0 when a control came back, the script error number otherwise.
On Error Resume Next
Dim o
Set o = CreateObject("OrvaneControl.Orvane")
If Err.Number <> 0 Then WScript.Quit Err.Number
If o.RemotePort <> 80 Then WScript.Quit 1
WScript.Quit 0
