// Names of the refinement thresholds and their parsing.
#include "app/starter/refine/thresholds.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

namespace {

// A step of sensitivity: the factor on the rises (four steps halve them: at the most sensitive a
// split needs 2.1 dB, at the least 10 dB), and the dB on the levels.
const double RiseStep = std::pow(2.0, 0.25);
constexpr double LevelStepDb = 3.0;

}  // namespace

RefineThresholds moreSensitive(RefineThresholds t, int steps) {
    double rise = std::pow(RiseStep, -steps);
    t.dropStrength *= rise;
    t.partnerStrength *= rise;
    t.splitStrength *= rise;
    t.restrikeStrength *= rise;
    t.partnerAttack *= rise;
    t.addStrength *= rise;
    t.dropLevel -= LevelStepDb * steps;
    t.splitLevel -= LevelStepDb * steps;
    t.restrikeLevel -= LevelStepDb * steps;
    return t;
}

const std::vector<ThresholdField> &thresholdFields() {
    static const std::vector<ThresholdField> fields = {
        {"attackLatency", &RefineThresholds::attackLatency},
        {"nearWindow", &RefineThresholds::nearWindow},
        {"nearStrength", &RefineThresholds::nearStrength},
        {"moveBefore", &RefineThresholds::moveBefore},
        {"moveAfter", &RefineThresholds::moveAfter},
        {"moveStrength", &RefineThresholds::moveStrength},
        {"joinWindow", &RefineThresholds::joinWindow},
        {"joinMates", &RefineThresholds::joinMates},
        {"ownFundamental", &RefineThresholds::ownFundamental},
        {"dropStrength", &RefineThresholds::dropStrength},
        {"dropLevel", &RefineThresholds::dropLevel},
        {"dropModel", &RefineThresholds::dropModel},
        {"dropCut", &RefineThresholds::dropCut},
        {"dropTrees", &RefineThresholds::dropTrees},
        {"partnerWindow", &RefineThresholds::partnerWindow},
        {"partnerStrength", &RefineThresholds::partnerStrength},
        {"partnerLevel", &RefineThresholds::partnerLevel},
        {"splitStrength", &RefineThresholds::splitStrength},
        {"splitAfter", &RefineThresholds::splitAfter},
        {"splitGap", &RefineThresholds::splitGap},
        {"splitLevel", &RefineThresholds::splitLevel},
        {"addStrength", &RefineThresholds::addStrength},
        {"addFundamental", &RefineThresholds::addFundamental},
        {"addLevel", &RefineThresholds::addLevel},
        {"addGap", &RefineThresholds::addGap},
        {"addBelow", &RefineThresholds::addBelow},
        {"addPeak", &RefineThresholds::addPeak},
        {"addOver", &RefineThresholds::addOver},
        {"addModel", &RefineThresholds::addModel},
        {"addCut", &RefineThresholds::addCut},
        {"addModelBelow", &RefineThresholds::addModelBelow},
        {"addSure", &RefineThresholds::addSure},
        {"addSureBelow", &RefineThresholds::addSureBelow},
        {"addLength", &RefineThresholds::addLength},
        {"restrikeStrength", &RefineThresholds::restrikeStrength},
        {"restrikeRise", &RefineThresholds::restrikeRise},
        {"restrikeBelowLevel", &RefineThresholds::restrikeBelowLevel},
        {"restrikeLevel", &RefineThresholds::restrikeLevel},
        {"restrikeRenewal", &RefineThresholds::restrikeRenewal},
        {"restrikeAfter", &RefineThresholds::restrikeAfter},
        {"restrikeDecay", &RefineThresholds::restrikeDecay},
        {"restrikeDip", &RefineThresholds::restrikeDip},
        {"restrikeModel", &RefineThresholds::restrikeModel},
        {"restrikeGate", &RefineThresholds::restrikeGate},
        {"restrikeCut", &RefineThresholds::restrikeCut},
        {"restrikeSudden", &RefineThresholds::restrikeSudden},
        {"partnerAttack", &RefineThresholds::partnerAttack},
        {"partnerOwnRise", &RefineThresholds::partnerOwnRise},
        {"moveOn", &RefineThresholds::moveOn},
        {"splitOn", &RefineThresholds::splitOn},
        {"dropOn", &RefineThresholds::dropOn},
        {"restrikeOn", &RefineThresholds::restrikeOn},
        {"partnerOn", &RefineThresholds::partnerOn},
        {"addOn", &RefineThresholds::addOn},
    };
    return fields;
}

bool setThreshold(RefineThresholds &t, const std::string &name, const std::string &value, std::string &error) {
    char *end = nullptr;
    double v = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !std::isfinite(v)) {
        error = "the value of " + name + " is no number: " + value;
        return false;
    }
    for (const ThresholdField &f : thresholdFields()) {
        if (name == f.name) {
            t.*f.field = v;
            return true;
        }
    }
    error = "there is no threshold " + name;
    return false;
}

bool parseThresholdLine(const std::string &line, RefineThresholds &t, std::string &error) {
    t = RefineThresholds{};
    std::istringstream words(line);
    std::string pair;
    while (words >> pair) {
        size_t eq = pair.find('=');
        if (eq == std::string::npos) {
            error = "a parameter is written NAME=VALUE, not " + pair;
            return false;
        }
        if (!setThreshold(t, pair.substr(0, eq), pair.substr(eq + 1), error))
            return false;
    }
    return true;
}
