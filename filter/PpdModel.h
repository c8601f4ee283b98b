// The printer model a job is for. Queues are usually named after their printer, and the model
// rules read the queue name; a queue named otherwise ("Labels") takes the model from its PPD.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace filter {

// The MDL value of the `*1284DeviceID` line of the PPD `text`; empty when it has none.
std::optional<std::string> modelInPpd(std::string_view text);

// The name the model rules read: the queue name when it holds the model of the queue's PPD
// (the file the PPD variable names), or when the PPD names none; else that model, logged once.
std::string modelNameForJob(const char* queueName, FILE* log);

}  // namespace filter
