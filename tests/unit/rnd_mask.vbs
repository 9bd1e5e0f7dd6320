' Prints what the update file codec draws from the script runtime's generator: the first
' value after re-seeding with the negated information key, times 2^24, then Int(Rnd * 256)
' for each of N positions, one number per line, then END. Script errors do not stop this
' host, so every step is checked and a failure ends with exit code 1.
Option Explicit
On Error Resume Next
Dim n, i, seedValue
n = 32767
If WScript.Arguments.Count > 0 Then n = CLng(WScript.Arguments(0))
If Err.Number <> 0 Then
    WScript.Echo "ERROR reading N: " & Err.Description
    WScript.Quit 1
End If
seedValue = Rnd(-4729)
WScript.Echo "SEED " & CStr(Int(seedValue * 16777216))
For i = 1 To n
    WScript.Echo CStr(Int(Rnd * 256))
    If Err.Number <> 0 Then
        WScript.Echo "ERROR at " & i & ": " & Err.Description
        WScript.Quit 1
    End If
Next
WScript.Echo "END"
WScript.Quit 0
