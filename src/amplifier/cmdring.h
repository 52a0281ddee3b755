// Command ring: any thread puts a command number into the ring; only the
// Linear thread takes them out, in place of the "FM;" poll (or back to back
// while tuneCmdPending is set). Missing replies are resent three times,
// then the link restarts from the status poll.
#pragma once

struct works;

// Queues `number`; returns it, or -1 when the ring is full (29 pending):
// the request is refused and logged rather than making the ring look empty.
int IncPNTIn_CMDLinear(int number, works *w);
// Takes the next command out of the ring; -1 when empty.
int TakeNextCmd(works *w);
bool CmdRingEmpty(const works *w);
int CmdRingPending(const works *w);

void InitMicroCmd(works *w);
void NextCmdPriority(works *w, int status);
void LastCmdSent(works *w, char a, char b, int n);
void GestRetrayCMD(works *w);
