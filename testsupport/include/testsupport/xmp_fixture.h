#pragma once
// The XMP packet of a DJI photograph, as exiftool writes it into a test image.

#include <string>

namespace testsupport {

struct DjiXmp {
    std::string absoluteAltitude = "+120.50";
    std::string relativeAltitude = "+80.25";
    std::string gimbalRoll = "+0.00";
    std::string gimbalYaw = "-45.30";
    std::string gimbalPitch = "-89.90";
    std::string latitude = "22.123456";
    std::string longitude = "113.987654";
    std::string rtkStdLon = "0.012", rtkStdLat = "0.015", rtkStdHgt = "0.030";
    std::string dewarpData = "2018-09-01;150.5,150.5,-1.25,0.5,-0.02,0.01,0.0,0.0,-0.005";
};

inline std::string djiXmpPacket(const DjiXmp& v = {}) {
    return R"(<?xpacket begin="" id="W5M0MpCehiHzreSzNTczkc9d"?>
<x:xmpmeta xmlns:x="adobe:ns:meta/">
 <rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">
  <rdf:Description rdf:about="DJI Meta Data"
    xmlns:drone-dji="http://www.dji.com/drone-dji/1.0/"
    drone-dji:AbsoluteAltitude=")" + v.absoluteAltitude + R"("
    drone-dji:RelativeAltitude=")" + v.relativeAltitude + R"("
    drone-dji:GimbalRollDegree=")" + v.gimbalRoll + R"("
    drone-dji:GimbalYawDegree=")" + v.gimbalYaw + R"("
    drone-dji:GimbalPitchDegree=")" + v.gimbalPitch + R"("
    drone-dji:Latitude=")" + v.latitude + R"("
    drone-dji:Longitude=")" + v.longitude + R"("
    drone-dji:RtkStdLon=")" + v.rtkStdLon + R"("
    drone-dji:RtkStdLat=")" + v.rtkStdLat + R"("
    drone-dji:RtkStdHgt=")" + v.rtkStdHgt + R"("
    drone-dji:DewarpData=")" + v.dewarpData + R"("/>
 </rdf:RDF>
</x:xmpmeta>
<?xpacket end="w"?>)";
}

}  // namespace testsupport
