#pragma once
// CBasePTZHandler: the driver's PTZ entry for the host. It makes each channel's PTZ control
// on first demand, keeps it for its own life, and shares one preset storage object (the XML
// file named by the driver) among the channels' preset lists. CJvcPTZHandler makes JVC
// controls and takes the file name from driver parameter 3.
//
// Threads: the host may ask from several threads at once; one lock serialises the handler,
// so two first requests for a channel get the same control and only one storage object is
// ever made. Controls are used outside that lock.
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/driver_interface.h"
#include "jvc_ipcapture/ptz.h"
#include "presets/smart_ptr.h"
#include "presets/xml_preposition_reader.h"
#include "ptz/base_ptz_control.h"
#include "thread/lock.h"

namespace vostrel {

class CIPPTZDriverIf : public ipcapture::IIPPTZDriverEx {};

class CBasePTZHandler : public CIPPTZDriverIf {
  public:
    // The type name is the root element of the preset file.
    CBasePTZHandler(IDriver* driver, uint32_t channelCount, std::string typeName);
    ~CBasePTZHandler() override;

    ipcapture::IIPPTZApi* GetPtzApi(uint32_t channel) override { return GetPtzApiEx(channel); }
    // The channel's control, made on first demand; null for a channel out of range or when
    // the control cannot be made, memory running out included (a later request tries again).
    ipcapture::IIPPTZApiEx* GetPtzApiEx(uint32_t channel) override JVC_EXCLUDES(m_lock);

    virtual std::string GetXMLStorageFileName() = 0;
    virtual std::unique_ptr<CBasePTZControl> CreateControl(uint32_t channel) = 0;
    // Deletes every control (each closes its command thread first).
    virtual void ReleaseControls() JVC_EXCLUDES(m_lock);
    // Closes every control's command thread (each first carries out its waiting stops) and
    // keeps the controls, whose motion requests answer -18 afterwards. The driver does this
    // before it deletes the video capture, which a command thread reads channel records from.
    void CloseControls() JVC_EXCLUDES(m_lock);
    // Makes the shared storage object and opens the preset file; logs why it cannot.
    virtual bool InitializeXMLStorage() JVC_REQUIRES(m_lock);

    uint32_t ChannelCount() const { return m_channelCount; }
    IDriver* Driver() const { return m_driver; }

  protected:
    ipcapture::IIPPTZApiEx* FindOrMakeControl(uint32_t channel) JVC_EXCLUDES(m_lock);

    IDriver* m_driver;
    CLock m_lock;
    std::map<uint32_t, std::unique_ptr<CBasePTZControl>> m_controls JVC_GUARDED_BY(m_lock);
    uint32_t m_channelCount;
    TSmartPtr<CXMLPrepositionReader> m_presetReader JVC_GUARDED_BY(m_lock);
    bool m_storageTried JVC_GUARDED_BY(m_lock) = false;
    // Why there is no preset file, for the lines of preset operations that fail for it.
    std::string m_missingStorage JVC_GUARDED_BY(m_lock);
    std::string m_typeName;
};

}  // namespace vostrel
