// Thermal management: thermistor readings to degrees Celsius, the fan curve
// of "/opt/set/ventola.txt", temperature warnings and alarms with their
// hysteresis, protection on an alarm, and the temperature log
// "/opt/set/LOGtemp.txt". Runs in the Linear thread while a status reply
// is decoded (the periodic log line comes from the supervisor).
#pragma once
#include <cstddef>

struct works;

float CalcolaTemp(unsigned short raw);
void ReadVentolaFile(works *w);
void parseVentolaText(works *w, const char *text, size_t len);
void searchPercentVentola(works *w);
float SearchTemperatureFromVentola(works *w, int percentage);
void GestTemperatureFunction(works *w, int alarmCode, int afterCode, int warnCode, float temp,
                             float limit);
// mode -1 deletes the log, 0 appends a line, 1 appends a protection line.
void LogTempFunction(works *w, int mode);
