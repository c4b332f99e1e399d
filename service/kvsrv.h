// The transfer service: the file-tracking service bound to its names, its configuration
// (a TTransportConfig) and its hooks: the shop directory chains, the transfer of one file by
// copy or upload, and the dial-up connection dialled on demand and hung up at stop.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/trconfig.h"
#include "service/framework/ftsrvbase.h"
#include "service/kvdialup.h"
#include "service/kvtransfer.h"

class TKelvardSvc : public TBaseFtrackerService {
public:
    TKelvardSvc();
    ~TKelvardSvc() override;

    TServiceController GetServiceController() override;

    bool StartService() override;
    bool StopService() override;
    // Says at every job when no destination is configured: nothing can be sent then.
    void JobStarting() override;
    void PrepareDestination() override;
    void FinishDestination() override;
    void BuildChain(const std::string& TrackDirectory, std::vector<std::string>& Chain) override;
    void GetDirection(const std::string& ChainEntry, bool& Forward) override;
    bool TransferFile(const std::string& FilePath, const std::string& ChainEntry,
                      bool& Continue) override;

    // The destinations of the configuration, for the start line.
    std::string DestinationText() const;
    TTransportConfig& TransportConfig() { return *FConfig; }
    // The dial-up entry that this service dialled and has not hung up; empty when none.
    const std::string& DialledEntry() const { return FDialUp.DialledEntry(); }

private:
    // Hangs up the dial-up connection that this service dialled (FTP kinds only).
    void Disconnect();
    TTransferHooks MakeTransferHooks();

    std::unique_ptr<TTransportConfig> FConfig;
    TDialUp FDialUp;
    TDestinationTransfer FTransfer;
};

// The one service object of the program, created by the application.
extern TKelvardSvc* KelvardSvc;

// The service control handler registered for the service: hands the control code to the
// service object.
void ServiceController(uint32_t CtrlCode);
