' A script plug-in of Tavo Suite, run by the Windows Script Host:
'
'   cscript //nologo plugin_sample.vbs
'
' It creates the plug-in host's Meeting and Setting by their ProgIDs (late-bound automation, no type
' library needed), asks the script host to connect their events to the subroutines at the end
' (WScript.ConnectObject with the prefixes "Meeting_" and "Setting_"), sends one request to each and
' waits for the events that answer them, asks the manager one question that is answered at once
' (GeneralCall), then disconnects and lets go.
'
' When the script host cannot connect the events (see "Script plug-ins" in the kit's README), the script
' says so and makes its requests all the same: their answers then never reach it.
'
' Exit code: 0 when everything answered; 1 when the host's classes are not available; 2 when the host
' runs without its manager (lRet -2); 3 when the manager refused a request; 4 when an answer did not come
' in time; 5 when the requests were made but their answers could not reach the script (no events).
Option Explicit

Dim meeting, setting, connected, answers, code, lRet, outXml

Set meeting = Nothing
Set setting = Nothing
On Error Resume Next
Set meeting = CreateObject("TavoPluginHost.Meeting")
If Err.Number = 0 Then Set setting = CreateObject("TavoPluginHost.Setting")
If Err.Number <> 0 Then
    WScript.Echo "the host's classes are not available: " & Failure()
    WScript.Quit 1
End If
On Error GoTo 0
WScript.Echo "Meeting and Setting created"

connected = Connect(meeting, "Meeting_")
connected = Connect(setting, "Setting_") And connected
If connected Then WScript.Echo "connected to the events of Meeting and Setting"

' Every method answers in its return value (lRet) and its out-parameters. The request methods' dwCookie
' (the number that identifies the request in the event that answers it) is an unsigned long, a type
' VBScript cannot hold: the script passes 0 in its place, so the request is made but its cookie does
' not come back.
answers = 0
lRet = meeting.StartOCMeeting("<StartOCMeeting subject=""Sample script""/>", 0)
code = Outcome("Meeting.StartOCMeeting", lRet)
If code = 0 Then code = WaitForAnswers(1)

If code = 0 Then
    lRet = setting.GetSetting("<GetSetting name=""Sample script""/>", 0)
    code = Outcome("Setting.GetSetting", lRet)
    If code = 0 Then code = WaitForAnswers(2)
End If

' A question with an immediate answer, in a string out-parameter: the script passes a variable, which
' only a system that converts a script's variable for a typed out-parameter accepts.
If code = 0 Then
    outXml = ""
    On Error Resume Next
    lRet = meeting.GeneralCall("<GeneralCall query=""Sample script""/>", outXml)
    If Err.Number = 0 Then
        WScript.Echo "Meeting.GeneralCall -> lRet " & lRet & ", bstrOutXml """ & outXml & """"
    Else
        WScript.Echo "Meeting.GeneralCall failed: " & Failure()
    End If
    On Error GoTo 0
    If Not connected Then
        WScript.Echo "the events of Meeting and Setting did not reach the script"
        code = 5
    End If
End If

' Letting go: the connections, then the objects. The host ends on its own about 5 s after its last
' plug-in has let go.
If connected Then
    WScript.DisconnectObject meeting
    WScript.DisconnectObject setting
End If
Set meeting = Nothing
Set setting = Nothing
WScript.Echo "disconnected and released"
WScript.Quit code

' Connects the events of `source` to the subroutines named prefix & event name.
Function Connect(source, prefix)
    On Error Resume Next
    WScript.ConnectObject source, prefix
    Connect = (Err.Number = 0)
    If Not Connect Then WScript.Echo "events of " & prefix & " not connected: " & Failure()
End Function

' What a request's lRet says, as the script's exit code (0: an event will answer it).
Function Outcome(method, lRet)
    WScript.Echo method & " -> lRet " & lRet
    Outcome = 0
    If lRet = -2 Then
        WScript.Echo "the host runs without the suite's manager: no answer will come"
        Outcome = 2
    ElseIf lRet <> 0 Then
        WScript.Echo "the manager refused the request"
        Outcome = 3
    End If
End Function

' Waits up to 10 s until `count` answers have come (events reach the script while it sleeps).
Function WaitForAnswers(count)
    Dim waited
    WaitForAnswers = 0
    If Not connected Then Exit Function
    waited = 0
    Do While answers < count And waited < 100
        WScript.Sleep 100
        waited = waited + 1
    Loop
    If answers < count Then
        WScript.Echo "no answer within the wait"
        WaitForAnswers = 4
    End If
End Function

Function Failure()
    Failure = Err.Description & " (error " & Err.Number & ", 0x" & Hex(Err.Number) & ")"
    Err.Clear
End Function

' The events that answer the two requests, named after the type library's event interfaces.
Sub Meeting_OnGetMeetingData(bstrGetMeetingData, dwCookie)
    WScript.Echo "event Meeting_OnGetMeetingData(""" & bstrGetMeetingData & """, " & dwCookie & ")"
    answers = answers + 1
End Sub

Sub Meeting_OnError(bstrErrorInfoXml, dwCookie)
    WScript.Echo "event Meeting_OnError(""" & bstrErrorInfoXml & """, " & dwCookie & ")"
    answers = answers + 1
End Sub

Sub Setting_OnGetSetting(bstrSettingInfoXml, dwCookie)
    WScript.Echo "event Setting_OnGetSetting(""" & bstrSettingInfoXml & """, " & dwCookie & ")"
    answers = answers + 1
End Sub

Sub Setting_OnError(bstrErrorInfoXml, dwCookie)
    WScript.Echo "event Setting_OnError(""" & bstrErrorInfoXml & """, " & dwCookie & ")"
    answers = answers + 1
End Sub
