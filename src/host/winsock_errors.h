#pragma once
// The socket error numbers the engines report (the classic Winsock numbering, 10004 ...
// 11004), derived from errno and resolver results in one place.
namespace quodra::host {

enum : int {
  kWsaEINTR = 10004, kWsaEBADF = 10009, kWsaEACCES = 10013, kWsaEFAULT = 10014, kWsaEINVAL = 10022,
  kWsaEMFILE = 10024, kWsaEWOULDBLOCK = 10035, kWsaEINPROGRESS = 10036, kWsaEALREADY = 10037,
  kWsaENOTSOCK = 10038, kWsaEDESTADDRREQ = 10039, kWsaEMSGSIZE = 10040, kWsaEPROTOTYPE = 10041,
  kWsaENOPROTOOPT = 10042, kWsaEPROTONOSUPPORT = 10043, kWsaESOCKTNOSUPPORT = 10044,
  kWsaEOPNOTSUPP = 10045, kWsaEPFNOSUPPORT = 10046, kWsaEAFNOSUPPORT = 10047, kWsaEADDRINUSE = 10048,
  kWsaEADDRNOTAVAIL = 10049, kWsaENETDOWN = 10050, kWsaENETUNREACH = 10051, kWsaENETRESET = 10052,
  kWsaECONNABORTED = 10053, kWsaECONNRESET = 10054, kWsaENOBUFS = 10055, kWsaEISCONN = 10056,
  kWsaENOTCONN = 10057, kWsaESHUTDOWN = 10058, kWsaETOOMANYREFS = 10059, kWsaETIMEDOUT = 10060,
  kWsaECONNREFUSED = 10061, kWsaELOOP = 10062, kWsaENAMETOOLONG = 10063, kWsaEHOSTDOWN = 10064,
  kWsaEHOSTUNREACH = 10065, kWsaENOTEMPTY = 10066, kWsaEPROCLIM = 10067, kWsaEUSERS = 10068,
  kWsaEDQUOT = 10069, kWsaESTALE = 10070, kWsaEREMOTE = 10071, kWsaSYSNOTREADY = 10091,
  kWsaVERNOTSUPPORTED = 10092, kWsaNOTINITIALISED = 10093, kWsaEDISCON = 10101,
  kWsaHOST_NOT_FOUND = 11001, kWsaTRY_AGAIN = 11002, kWsaNO_RECOVERY = 11003, kWsaNO_DATA = 11004,
};

// errno -> socket error number; an errno without a socket equivalent is returned unchanged.
int WinsockErrorFromErrno(int err);
// getaddrinfo()/getservbyname() failure -> 11001 ... 11004 (EAI_SYSTEM uses errno).
int WinsockErrorFromResolver(int gaiError, int err);

}  // namespace quodra::host
